#pragma once

// The mail spool on disk: it decouples the workers that finish tasks from the SMTP server and
// survives restarts and crashes. Below the spool folder ("MailQueue/"):
//
//   {GUID}/                  one folder per batch, named by a new GUID in registry form
//     thumb%.6d.png          the thumbnail of the record at that position in the batch
//     user%.3d.mail          a mail waiting to be sent, for the recipient at that position:
//                            "Name <address>", the subject, then the HTML body
//     user%.3d.sending       the same mail once its send has begun; it is never sent again
//     retry                  "first=", "attempts=", "next=": when the batch first failed to go
//                            out (milliseconds of the wall clock), how often, when to try next
//   {GUID}.batch             the full paths of the batch's files, one a line: the batch exists
//                            from the moment this list appears under its name
//   Failed/{GUID}-user%.3d.mail   a mail that will not be sent
//
// A batch is written file by file, each synced; then the folder is synced and the list goes
// in under a temporary name, synced, and is renamed, and the spool folder synced. A write that
// fails removes what it wrote. A mail is renamed to its ".sending" name, and that rename
// synced, before a byte of it goes out: a ".sending" file that no verdict of this process
// explains was being sent when a run ended, and since the server may have taken it, it moves
// to "Failed" rather than going out twice. Verdicts the disk refuses are kept in memory and
// applied on a later try.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"

class TMailSpool {
  public:
    // A batch as its list names it: only files of the batch's own folder count.
    struct TBatch {
        std::string Name;                     // the GUID in registry form
        std::vector<std::string> Files;       // every listed file
        std::vector<std::string> Mails;       // the mail files ("user%.3d.mail"), in list order
        std::vector<std::string> Thumbnails;  // the thumbnails ("thumb%.6d.png"), in list order
    };

    enum class TMailState {
        Pending,  // waits to be sent
        Marked,   // its send has begun: it is never sent again
        Done,     // sent, or moved to "Failed"
    };

    // What became of a marked mail.
    enum class TVerdict {
        Sent,    // the server took it: the file goes
        Failed,  // refused, or in doubt: the file moves to "Failed"
        Unsent,  // nothing of it went out: it waits again
    };

    struct TRetry {
        int64_t FirstFailureMs = 0;  // wall clock, milliseconds since 1970
        int32_t Attempts = 0;
        int64_t NextTryMs = 0;
    };

    // Writes one batch; without Commit, whatever it wrote goes again when it is destroyed.
    class TBatchWriter {
      public:
        ~TBatchWriter();
        TBatchWriter(const TBatchWriter&) = delete;
        TBatchWriter& operator=(const TBatchWriter&) = delete;

        const std::string& Name() const { return FName; }
        // Writes one file of the batch and syncs it.
        bool Add(const std::string& FileName, const std::string& Bytes, std::string& Error);
        // Lists the files written, in order: the batch now exists and will be sent.
        bool Commit(std::string& Error);

      private:
        friend class TMailSpool;
        TBatchWriter(TMailSpool& Spool, std::string Name);

        TMailSpool& FSpool;
        const std::string FName;
        std::vector<std::string> FFiles;
        bool FCommitted = false;
    };

    // Folder ends with "/".
    explicit TMailSpool(std::string Folder);
    TMailSpool(const TMailSpool&) = delete;
    TMailSpool& operator=(const TMailSpool&) = delete;

    const std::string& Folder() const { return FFolder; }
    const std::string& FailedFolder() const { return FFailedFolder; }
    // The spool folder and its "Failed" folder, with their parents.
    bool CreateFolders();

    // A new batch with its folder; none with Error when the folder cannot be made. Any thread,
    // several at once.
    std::unique_ptr<TBatchWriter> NewBatch(std::string& Error);

    // The rest is the sending side: one caller at a time.

    // The names of the complete batches, the oldest list first.
    std::vector<std::string> BatchNames() const;
    // Reads the batch's list; false with Error when it cannot be read.
    bool Read(const std::string& Name, TBatch& Batch, std::string& Error) const;
    TMailState State(const std::string& MailPath) const;
    // A pending mail becomes marked, durably, before it is sent.
    bool Mark(const std::string& MailPath, std::string& Error);
    // Applies the verdict on a marked mail; when the disk refuses, the verdict is kept and the
    // next Settle of the mail applies it.
    bool Settle(const std::string& Name, const std::string& MailPath, TVerdict Verdict,
                std::string& Error);
    // The verdict this process holds for a marked mail, none for one marked by an earlier run.
    std::optional<TVerdict> Verdict(const std::string& MailPath) const;
    // Moves a pending or marked mail to "Failed" as batch name + "-" + mail file name.
    bool Fail(const std::string& Name, const std::string& MailPath, std::string& Error);

    // The batch's retry state, none before its first failure (or when the file is damaged).
    std::optional<TRetry> Retry(const std::string& Name);
    // Keeps the state in memory and on disk; false with Error when the disk refused it.
    bool SetRetry(const std::string& Name, const TRetry& Retry, std::string& Error);

    // Removes the list first, then the files, the retry state and the folder.
    bool Remove(const TBatch& Batch, std::string& Error);
    // Batch folders without a list that no write in progress owns, and temporary lists: what a
    // write or a removal cut short left behind. Each is removed and logged.
    void RemoveLeftovers();

    // "thumb000002.png" -> 2; -1 for any other name.
    static int ThumbnailPosition(const std::string& FileName);
    // "…/user000.mail" -> "…/user000.sending".
    static std::string MarkedPath(const std::string& MailPath);
    // The file's bytes; false when it cannot be read or is bigger than Limit (a damaged disk may
    // hand back anything).
    static bool ReadBounded(const std::string& Path, size_t Limit, std::string& Bytes);
    // The lines of a spool file, without their CR LF or LF.
    static std::vector<std::string> SplitLines(const std::string& Text);

  private:
    std::string BatchFolder(const std::string& Name) const { return FFolder + Name + "/"; }
    std::string ListPath(const std::string& Name) const { return FFolder + Name + ".batch"; }
    bool MoveToFailed(const std::string& Name, const std::string& From, const std::string& MailName,
                      std::string& Error);
    void EndWrite(const std::string& Name);
    bool Writing(const std::string& Name) const;
    void RemoveLeftoverFolder(const std::string& Name);

    const std::string FFolder;
    const std::string FFailedFolder;
    // A leaf: no other lock is taken under it.
    mutable TMutex FLock;
    std::set<std::string> FWriting GUARDED_BY(FLock);
    std::map<std::string, TVerdict> FVerdicts GUARDED_BY(FLock);
    std::map<std::string, TRetry> FRetries GUARDED_BY(FLock);
    // Leftovers that could not be removed, logged once.
    std::set<std::string> FStuckLeftovers GUARDED_BY(FLock);
};
