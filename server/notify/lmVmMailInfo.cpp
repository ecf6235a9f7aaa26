#include "server/notify/lmVmMailInfo.h"

void TMailInfo::RenderTargets() {
    TargetsTable.clear();
    if (TargetResults.empty()) {
        return;
    }
    TargetsTable = "<table>";
    for (const TTargetResult& result : TargetResults) {
        TargetsTable += "<tr><td>" + result.Name + "</td>";
        TargetsTable += result.Passed ? "<td class=\"targetpass\" style=\"color: green;\">PASS</td>"
                                      : "<td class=\"targetfail\" style=\"color: red; font-weight: "
                                        "bold;\">FAIL</td>";
        TargetsTable += "</tr>";
    }
    TargetsTable += "</table>";
}

bool TMailInfo::AnyTargetPassed() const {
    for (const TTargetResult& result : TargetResults) {
        if (result.Passed) {
            return true;
        }
    }
    return false;
}
