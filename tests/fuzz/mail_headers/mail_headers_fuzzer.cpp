// Feeds arbitrary text to the checks that stand between configured names and addresses and the
// headers and envelope of a notification mail. The input is a display name, a NUL and an
// address. Whatever they hold, an address taken as usable is printable ASCII without blanks or
// angle brackets, and no header built from them can end its line early: every line break is a
// fold, followed by a blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/notify/lmVmSmtpClient.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A header value may break only as CR LF followed by a blank, and never holds a lone CR or LF.
void CheckFolded(const std::string& Value) {
    for (size_t i = 0; i < Value.size(); ++i) {
        if (Value[i] == '\r') {
            Check(i + 2 < Value.size() && Value[i + 1] == '\n' && Value[i + 2] == ' ');
        } else if (Value[i] == '\n') {
            Check(i > 0 && Value[i - 1] == '\r');
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string name = input.substr(0, split);
    const std::string address = split == std::string::npos ? input : input.substr(split + 1);

    const bool usable = smtp_format::UsableAddress(address);
    Check(usable == smtp_format::AddressProblem(address).empty());
    if (usable) {
        Check(!address.empty() && address.size() <= 254);
        for (const char c : address) {
            const auto byte = static_cast<unsigned char>(c);
            Check(byte > 0x20 && byte < 0x7F && c != '<' && c != '>' && c != '"');
        }
        CheckFolded(smtp_format::MailboxHeader(name, address));
        Check(smtp_format::AddressOf(name + " <" + address + ">") == address);
    }
    CheckFolded(smtp_format::EncodeHeaderText(name));
    for (const char c : smtp_format::Printable(input)) {
        const auto byte = static_cast<unsigned char>(c);
        Check(byte >= 0x20 && byte != 0x7F);
    }
    return 0;
}
