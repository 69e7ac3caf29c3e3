// A one-line progress meter on standard error, shown only when standard
// error is a terminal and only once a run has lasted a moment, so short runs
// and redirected logs stay clean.
#ifndef VELMORA_PIPELINE_PROGRESS_H
#define VELMORA_PIPELINE_PROGRESS_H

#include <cstdint>
#include <string>

namespace velmora_pipeline {

class progress_meter {
public:
    // unit names what is counted ("reads", "entries").
    explicit progress_meter(std::string unit);
    ~progress_meter();

    // done items so far; fraction in [0, 1] of the known total, or negative
    // when the total is unknown.  Cheap to call often: it redraws at most a
    // few times a second.
    void update(uint64_t done, double fraction);
    // Clears the line (call before printing anything else on stderr).
    void finish();

private:
    std::string unit_;
    bool enabled_;
    bool shown_ = false;
    double start_;
    double last_draw_ = 0;
};

}  // namespace velmora_pipeline

#endif
