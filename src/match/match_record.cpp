#include "match/match_record.h"

namespace velmora {

// Twelve bytes of 0xFF (three absent 32-bit values) and a zero hit count.
const unsigned char match_initial_pattern[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};

}  // namespace velmora
