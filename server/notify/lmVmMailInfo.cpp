#include "server/notify/lmVmMailInfo.h"

std::string EscapeHtml(const std::string& Text) {
    std::string escaped;
    escaped.reserve(Text.size());
    for (const char c : Text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

void TMailInfo::RenderTargets() {
    TargetsTable.clear();
    if (TargetResults.empty()) {
        return;
    }
    TargetsTable = "<table>";
    for (const TTargetResult& result : TargetResults) {
        TargetsTable += "<tr><td>" + EscapeHtml(result.Name) + "</td>";
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
