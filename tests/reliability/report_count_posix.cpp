#include "reliability/report_count.h"

namespace vextra_test {
int ReliabilityReportCountForTarget() { return 10000; }
}  // namespace vextra_test
