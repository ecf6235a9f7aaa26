#pragma once

// The SMTP client the mail thread sends spooled mails with, on libcurl: one connection per
// pass, reused for every mail of the pass and closed with QUIT at its end. Credentials go with
// AUTH LOGIN; TLS is used whenever the server offers it (STARTTLS), and from the first byte on
// port 465. Each mail is an HTML body with its thumbnails as inline images.

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
    // The server took the connection but answered this mail with a 4xx: try it again later.
    Deferred,
    // No usable connection (unreachable, TLS or login failed, connection lost): nothing more
    // can be sent in this pass.
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
    // While the flag is set, a running exchange ends at once (the server is stopping).
    void SetAbortFlag(const std::atomic<bool>* Flag) { FAbort = Flag; }
    // The server's last answer and curl's text for the last failure.
    const std::string& LastError() const { return FLastError; }

  private:
    TSmtpResult Classify(int Code, long Answer);

    void* FCurl = nullptr;
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
// True for an address that is safe on an SMTP command line: one "@" after the first
// character, no blanks, controls or angle brackets.
bool UsableAddress(const std::string& Address);

}  // namespace smtp_format
