// The long form of the random in-process sessions: many more searches, stops, option changes
// and engine restarts, with longer searches between them.
#include "core/parallel/smp_stress_session.h"

namespace orvane::testing {
namespace {

TEST(SmpStressSlow, LongRandomSessions) {
    for (std::uint32_t start : {1u, 99u, 31337u}) {
        SCOPED_TRACE(start);
        StressPlan plan{"SmpStressSlow.LongRandomSessions", 400, 12, start};
        plan.max_wait_ms = 80;
        StressSession session(plan);
        session.run();
        if (HasFatalFailure()) return;
    }
}

TEST(SmpStressSlow, QuickStopsAndRestarts) {
    StressPlan plan{"SmpStressSlow.QuickStops", 600, 40, 4242u};
    plan.max_wait_ms = 3;
    StressSession session(plan);
    session.run();
}

}  // namespace
}  // namespace orvane::testing
