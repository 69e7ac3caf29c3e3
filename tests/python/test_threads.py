"""Threads and signals: close() while another thread is inside a call,
and Ctrl-C during a long batch.  Each scenario runs in a child interpreter,
so that a crash is a failed test rather than a dead test runner."""

import os
import signal
import subprocess
import sys
import time
import unittest

PYTHONPATH = os.path.dirname(os.path.dirname(os.path.abspath(
    __import__("velmora").__file__)))

# Brute force (k = 3) over 30-base references: a few milliseconds per query,
# so a batch is inside the library long enough to be caught there.
PRELUDE = r"""
import random, sys, threading, time
import velmora
rnd = random.Random(7)
refs = ["".join(rnd.choice("ACGT") for _ in range(30)) for _ in range(REFS)]
query = refs[5][:29] + "A"
index = velmora.Index(refs)
"""


def child(code, refs):
    env = dict(os.environ, PYTHONPATH=PYTHONPATH)
    return subprocess.Popen([sys.executable, "-c", PRELUDE.replace("REFS", str(refs)) + code],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class Threads(unittest.TestCase):
    def test_close_while_another_thread_is_inside_a_call(self):
        # Close waits for the call in flight (whose records are complete);
        # later calls are refused with ValueError.  Nothing crashes.
        code = r"""
outcome = []
def work():
    for _ in range(50):
        try:
            got = index.assign([query] * 20, 3)
        except ValueError as e:
            outcome.append("refused: %s" % e)
            return
        outcome.append("ok" if len(got) == 20 and got[0].best_index == 5 else "wrong")
t = threading.Thread(target=work)
t.start()
time.sleep(0.3)
index.close()
t.join()
print(outcome.count("ok"), outcome.count("wrong"), outcome[-1])
"""
        p = child(code, 20000)
        out, err = p.communicate(timeout=120)
        self.assertEqual(p.returncode, 0, "exit %d\n%s" % (p.returncode, err))
        ok, wrong, last = out.split(maxsplit=2)
        self.assertEqual(wrong, "0")
        self.assertLess(int(ok), 50, "close() came after the thread was done: nothing tested")
        self.assertIn("refused: operation on a closed velmora.Index", last)

    def test_ctrl_c_interrupts_a_long_batch(self):
        # Unsliced, this batch is tens of seconds inside one C call and the
        # interrupt waits for all of it.
        code = r"""
print("start", flush=True)
t0 = time.monotonic()
try:
    index.assign([query] * 20000, 3)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""
        p = child(code, 20000)
        self.assertEqual(p.stdout.readline().strip(), "start")
        time.sleep(0.5)
        sent = time.monotonic()
        p.send_signal(signal.SIGINT)
        try:
            out, err = p.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            self.fail("Ctrl-C not honoured within 5 s")
        self.assertEqual(out.strip(), "interrupted", err)
        # Generous against a loaded machine; the slice target is 20 ms.
        self.assertLess(time.monotonic() - sent, 2.0)


if __name__ == "__main__":
    unittest.main()
