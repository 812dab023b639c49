// A short random session against the in-process engine: searches in every SMP mode with one
// to eight threads, started and stopped at random moments while Threads, SMPMode and ABDADA
// change under them, "quit" during a search and a new engine after it. It must end without
// a deadlock, with one legal bestmove per search, and with no thread left over.
#include "core/parallel/smp_stress_session.h"

namespace orvane::testing {
namespace {

TEST(SmpStress, RandomSessionsInEveryMode) {
    StressSession session({"SmpStress.RandomSessions", 70, 3, 20240611u});
    session.run();
}

TEST(SmpStress, ManyThreadsStoppedAtOnce) {
    // Searches that hardly start before they are stopped: the helpers must be joined in
    // whatever state the stop finds them.
    StressPlan plan{"SmpStress.StoppedAtOnce", 60, 2, 7u};
    plan.max_wait_ms = 2;
    StressSession session(plan);
    session.run();
}

}  // namespace
}  // namespace orvane::testing
