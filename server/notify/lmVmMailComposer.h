#pragma once

// Fills a notification template for one recipient and a batch of mail records: the repeated
// blocks between "%START_FOREACH%" and "%END_FOREACH%" once per record, the placeholders with
// the values of a record, the recipient and the batch.

#include <memory>
#include <string>
#include <vector>

#include "server/notify/lmVmMailInfo.h"

class TMailComposer {
  public:
    // The largest template read; anything bigger is no mail template.
    static constexpr size_t MaxTemplateBytes = 1 << 20;

    // True for a template name that is a plain file name: no folder part, no "." or "..",
    // no control character. Names come from managers over the network.
    static bool PlainFileName(const std::string& Name);
    // Reads the template's lines (UTF-8; a CR before each LF is dropped) and trims them: blank
    // lines at the start and the end go, and a blank second line. False with the reason in
    // Error when the file cannot be read or is too big.
    static bool ReadTemplate(const std::string& Path, std::vector<std::string>& Lines,
                             std::string& Error);
    static void TrimTemplate(std::vector<std::string>& Lines);

    // Thumbnails[i] tells whether record i's thumbnail goes with the mail as "cid:IMAGE<i+1>".
    TMailComposer(const std::vector<std::string>& TemplateLines,
                  const std::vector<std::unique_ptr<TMailInfo>>& Records,
                  std::vector<bool> Thumbnails, std::string VersionText);

    // The mail file's lines: "Name <address>", the subject, then the HTML body.
    std::vector<std::string> Compose(const std::string& UserName, const std::string& Address) const;

    // One line filled with record Index's values; in a block "%FILECOUNTER%" and
    // "%THUMBNAIL%" name the record's position. Values are HTML-escaped for the body
    // (Escape), plain in the subject.
    std::string Fill(const std::string& Text, size_t Index, bool InBlock, bool Escape,
                     const std::string& UserName) const;

  private:
    struct TBlockLine {
        std::string Text;
        bool Escape;
    };
    void Expand(const std::vector<TBlockLine>& Block, const std::string& UserName,
                std::vector<std::string>& Out) const;
    std::string Value(const std::string& Name, size_t Index, bool InBlock, bool& Known,
                      const std::string& UserName) const;

    const std::vector<std::string>& FLines;
    const std::vector<std::unique_ptr<TMailInfo>>& FRecords;
    const std::vector<bool> FThumbnails;
    const std::string FVersionText;
};
