#pragma once

// The SMTP client the mail thread sends spooled mails with, on libcurl: one connection per
// pass, reused for every mail of the pass and closed with QUIT at its end. Credentials go with
// AUTH LOGIN, and only over TLS: STARTTLS is required once a login is set (unless clear text is
// allowed explicitly) and used whenever the server offers it; port 465 speaks TLS from the
// first byte. The server's certificate is always verified, against the system's store or the
// CA file the settings name. Each mail is an HTML body with its thumbnails as inline images.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Where and as whom mails are sent: the engine's SMTP settings.
struct TSmtpSettings {
    std::string Host;
    int32_t Port = 25;
    std::string Login;
    std::string Password;
    std::string FromName;
    std::string FromEmail;
    // With a login set, send it even over a connection without TLS ("smtpallowplain").
    bool AllowPlain = false;
    // The certificates to trust instead of the system's store ("smtpcafile"); empty: the store.
    std::string CAFile;

    friend bool operator==(const TSmtpSettings&, const TSmtpSettings&) = default;
};

// One mail as the mail file holds it, with the inline images to send along.
struct TSmtpMessage {
    // "Name <address>", as the mail file's first line holds it.
    std::string Recipient;
    std::string Subject;
    std::string HtmlBody;
    // Each image with its content id ("IMAGE1"); the body refers to it as "cid:IMAGE1".
    struct TImage {
        std::string ContentId;
        std::vector<uint8_t> Png;
    };
    std::vector<TImage> Images;
};

enum class TSmtpResult {
    Sent,
    // The server refused this mail for good (a 5xx answer).
    Refused,
    // The server refused the login: no mail goes out with these credentials.
    LoginRefused,
    // The server took the connection but answered this mail with a 4xx: try it again later.
    Deferred,
    // The exchange broke off after the whole mail had gone out, before the server's answer: it
    // may have taken the mail, so the mail must not be sent again.
    InDoubt,
    // No usable connection (settings unusable, server not reached, TLS refused or not
    // trusted, connection lost before the mail was out): nothing more can be sent now.
    Unreachable,
};

class TSmtpClient {
  public:
    TSmtpClient();
    ~TSmtpClient();
    TSmtpClient(const TSmtpClient&) = delete;
    TSmtpClient& operator=(const TSmtpClient&) = delete;

    // Takes the settings for the next connection; an open one is closed first.
    void Reset(const TSmtpSettings& Settings);
    // Sends one mail, connecting first when no connection is open.
    TSmtpResult Send(const TSmtpMessage& Message);
    // Ends the connection (QUIT) when one is open.
    void Close();
    // While the flag is set, an exchange ends at once unless the mail is already going out,
    // which then finishes (within the deadlines), so that stopping never leaves a mail in doubt.
    void SetAbortFlag(const std::atomic<bool>* Flag) { FAbort = Flag; }
    // Deadlines of each exchange: for the connection (TLS included) and for every answer.
    void SetTimeouts(long ConnectSeconds, long AnswerSeconds);
    // The server's last answer and curl's text for the last failure.
    const std::string& LastError() const { return FLastError; }

  private:
    // Sender and host are checked before every exchange: the settings may come from a
    // configuration edited by hand.
    bool UsableSettings(std::string& Host);
    TSmtpResult Classify(int Code, long Answer, bool MailWentOut);
    void ExplainFailure(int Code);

    void* FCurl = nullptr;
    long FConnectTimeout = 30;
    long FAnswerTimeout = 60;
    const std::atomic<bool>* FAbort = nullptr;
    TSmtpSettings FSettings;
    std::string FLastError;
};

// Mail-format helpers, shared with the tests.
namespace smtp_format {

// The address inside "Name <address>", or the whole text when it has no angle brackets.
std::string AddressOf(const std::string& Recipient);
// The name before " <address>", trimmed.
std::string NameOf(const std::string& Recipient);
// A header value: unchanged when it is printable ASCII, else RFC 2047 encoded words (UTF-8,
// base64), cut at character boundaries so that no encoded word passes 75 characters.
std::string EncodeHeaderText(const std::string& Text);
// "Name <address>" for a header: the name encoded or quoted as needed.
std::string MailboxHeader(const std::string& Name, const std::string& Address);
// Why the text is no address that may go into a header or onto an SMTP command line, or empty
// when it is one: ASCII only, at most 254 characters, a dot-atom local part of at most 64, one
// "@", and a domain of letters, digits and hyphens in dot-separated labels (or an address
// literal in brackets). Never a blank, a control character, a quote or an angle bracket.
std::string AddressProblem(const std::string& Address);
bool UsableAddress(const std::string& Address);
// The text with control characters and bytes outside ASCII shown as "\xNN", for log lines.
std::string Printable(const std::string& Text);

}  // namespace smtp_format
