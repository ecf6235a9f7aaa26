// Loads arbitrary bytes as an XML document with encoding detection, saves what was loaded and
// loads the saved bytes again. No input may crash, hang or exhaust memory, and saving what the
// loader built must succeed. (A reload may still fail: names are written as they are, and a
// malformed input can leave a name such as "a?" that no longer reads as a start tag.)

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/kxXMLUnicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TXMLUnicode document;
    document.LoadFromBuffer(data, static_cast<int64_t>(size));

    // Reading through the cursor must cope with whatever tree came out.
    document.GotoRoot();
    document.PushPosition();
    if (document.SelectChild("a", true)) {
        while (document.SelectNext("a"))
            document.ChildText("b").AsInteger(0);
    }
    document.PopPosition();

    std::string saved;
    if (!document.SaveToString(saved))
        std::abort();  // everything the loader produces is text UTF-8 can carry

    TXMLUnicode reloaded;
    reloaded.LoadFromString(saved);
    std::string again;
    if (!reloaded.SaveToString(again))
        std::abort();

    TXMLUnicode copy;
    copy.Assign(&reloaded);
    return 0;
}
