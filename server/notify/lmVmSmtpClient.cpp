#include "server/notify/lmVmSmtpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "foundation/kxGUID.h"

namespace {

// Below this rate for the answer deadline, a transfer counts as stalled.
constexpr long LowSpeedBytes = 100;
// However slowly a server keeps taking bytes, one mail never holds the mail thread longer.
constexpr long MailTimeoutSeconds = 20 * 60;

const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::string& Bytes) {
    std::string text;
    size_t i = 0;
    for (; i + 2 < Bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint8_t>(Bytes[i]) << 16 |
                           static_cast<uint8_t>(Bytes[i + 1]) << 8 |
                           static_cast<uint8_t>(Bytes[i + 2]);
        text += {Base64Digits[v >> 18], Base64Digits[(v >> 12) & 63], Base64Digits[(v >> 6) & 63],
                 Base64Digits[v & 63]};
    }
    if (i + 1 == Bytes.size()) {
        const uint32_t v = static_cast<uint8_t>(Bytes[i]) << 16;
        text += {Base64Digits[v >> 18], Base64Digits[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == Bytes.size()) {
        const uint32_t v = static_cast<uint8_t>(Bytes[i]) << 16 | static_cast<uint8_t>(Bytes[i + 1])
                                                                      << 8;
        text +=
            {Base64Digits[v >> 18], Base64Digits[(v >> 12) & 63], Base64Digits[(v >> 6) & 63], '='};
    }
    return text;
}

bool PlainHeaderText(const std::string& Text) {
    for (const char c : Text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
size_t SequenceLength(unsigned char Lead) {
    if (Lead >= 0xF0 && Lead < 0xF8) {
        return 4;
    }
    if (Lead >= 0xE0) {
        return Lead < 0xF0 ? 3 : 1;
    }
    return Lead >= 0xC0 ? 2 : 1;
}

// "Thu, 10 Dec 2026 14:40:00 +0000".
std::string DateHeader() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto days = floor<std::chrono::days>(now);
    const year_month_day date(days);
    const hh_mm_ss time(now - days);
    const weekday day(days);
    static const char* const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(
        text, sizeof text, "%s, %u %s %d %02ld:%02ld:%02ld +0000", dayNames[day.c_encoding()],
        static_cast<unsigned>(date.day()), monthNames[static_cast<unsigned>(date.month()) - 1],
        static_cast<int>(date.year()), static_cast<long>(time.hours().count()),
        static_cast<long>(time.minutes().count()), static_cast<long>(time.seconds().count()));
    return text;
}

// The sender has been checked by now; without one the id names the program.
std::string MessageId(const std::string& Sender) {
    std::string id = GUIDToString(NewGUID());
    id = id.substr(1, id.size() - 2);
    const size_t at = Sender.find('@');
    return "<" + id + "@" + (at == std::string::npos ? "lmVidmill" : Sender.substr(at + 1)) + ">";
}

bool IsLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The characters of a dot-atom besides letters and digits.
bool IsAtomSign(char c) {
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

std::string LocalPartProblem(std::string_view Local) {
    if (Local.empty()) {
        return "nothing stands before the \"@\"";
    }
    if (Local.size() > 64) {
        return "the part before the \"@\" is longer than 64 characters";
    }
    if (Local.front() == '.' || Local.back() == '.' || Local.find("..") != std::string_view::npos) {
        return "a dot begins, ends or doubles in the part before the \"@\"";
    }
    for (const char c : Local) {
        if (!IsLetterOrDigit(c) && !IsAtomSign(c) && c != '.') {
            return std::string("the part before the \"@\" holds \"") + c + "\"";
        }
    }
    return {};
}

std::string DomainProblem(std::string_view Domain) {
    if (Domain.empty()) {
        return "no domain follows the \"@\"";
    }
    if (Domain.front() == '[') {
        const bool literal =
            Domain.size() > 2 && Domain.back() == ']' &&
            Domain.substr(1, Domain.size() - 2).find_first_not_of("0123456789abcdefABCDEFIPv6:.") ==
                std::string_view::npos;
        return literal ? std::string() : "the address literal after the \"@\" is malformed";
    }
    if (Domain.size() > 253) {
        return "the domain is longer than 253 characters";
    }
    size_t start = 0;
    while (start <= Domain.size()) {
        size_t end = Domain.find('.', start);
        if (end == std::string_view::npos) {
            end = Domain.size();
        }
        const std::string_view label = Domain.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return "the domain \"" + std::string(Domain) + "\" is malformed";
        }
        for (const char c : label) {
            if (!IsLetterOrDigit(c) && c != '-') {
                return std::string("the domain holds \"") + c + "\"";
            }
        }
        start = end + 1;
    }
    return {};
}

// The host as libcurl's URL needs it, or empty when it holds anything a host name cannot.
std::string UrlHost(const std::string& Host) {
    if (Host.empty()) {
        return {};
    }
    bool colon = false;
    for (const char c : Host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == ':';
        if (!ok) {
            return {};
        }
        colon = colon || c == ':';
    }
    return colon ? "[" + Host + "]" : Host;
}

// Once bytes of the mail are on their way the exchange is let finish: broken off after the
// last byte, the server may have the mail without our knowing.
int AbortCheck(void* Flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t Uploaded) {
    const auto* abort = static_cast<const std::atomic<bool>*>(Flag);
    return abort && abort->load() && Uploaded == 0 ? 1 : 0;
}

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The lists and the MIME tree of one mail, freed together.
class TCurlMail {
  public:
    explicit TCurlMail(CURL* Curl) : FMime(curl_mime_init(Curl)) {}
    ~TCurlMail() {
        curl_mime_free(FMime);
        curl_slist_free_all(FHeaders);
        curl_slist_free_all(FRecipients);
    }
    TCurlMail(const TCurlMail&) = delete;
    TCurlMail& operator=(const TCurlMail&) = delete;

    void AddHeader(const std::string& Line) {
        FHeaders = curl_slist_append(FHeaders, Line.c_str());
    }
    void AddRecipient(const std::string& Address) {
        FRecipients = curl_slist_append(FRecipients, ("<" + Address + ">").c_str());
    }
    // The body and its images as one multipart/related part, so that mail readers resolve
    // every "cid:" of the body within the mail.
    void SetContent(const TSmtpMessage& Message) {
        curl_mime* related = curl_mime_init(nullptr);
        curl_mimepart* html = curl_mime_addpart(related);
        curl_mime_data(html, Message.HtmlBody.data(), Message.HtmlBody.size());
        curl_mime_type(html, "text/html; charset=UTF-8");
        curl_mime_encoder(html, "quoted-printable");
        for (const TSmtpMessage::TImage& image : Message.Images) {
            curl_mimepart* part = curl_mime_addpart(related);
            curl_mime_data(part, reinterpret_cast<const char*>(image.Png.data()), image.Png.size());
            curl_mime_type(part, "image/png");
            curl_mime_encoder(part, "base64");
            curl_slist* headers =
                curl_slist_append(nullptr, ("Content-ID: <" + image.ContentId + ">").c_str());
            headers = curl_slist_append(
                headers,
                ("Content-Disposition: inline; filename=\"" + image.ContentId + ".png\"").c_str());
            curl_mime_headers(part, headers, 1);
        }
        curl_mimepart* part = curl_mime_addpart(FMime);
        curl_mime_subparts(part, related);
        curl_mime_type(part, "multipart/related; type=\"text/html\"");
    }

    curl_mime* Mime() const { return FMime; }
    curl_slist* Headers() const { return FHeaders; }
    curl_slist* Recipients() const { return FRecipients; }

  private:
    curl_mime* FMime;
    curl_slist* FHeaders = nullptr;
    curl_slist* FRecipients = nullptr;
};

}  // namespace

namespace smtp_format {

std::string AddressOf(const std::string& Recipient) {
    const size_t open = Recipient.rfind('<');
    const size_t close = Recipient.rfind('>');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return Recipient;
    }
    return Recipient.substr(open + 1, close - open - 1);
}

std::string NameOf(const std::string& Recipient) {
    const size_t open = Recipient.rfind('<');
    std::string name = open == std::string::npos ? std::string() : Recipient.substr(0, open);
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    return name;
}

std::string EncodeHeaderText(const std::string& Text) {
    if (PlainHeaderText(Text)) {
        return Text;
    }
    // "=?UTF-8?B?" + base64 of at most 45 bytes + "?=" stays within 75 characters.
    constexpr size_t wordBytes = 45;
    std::string encoded;
    size_t pos = 0;
    while (pos < Text.size()) {
        size_t end = pos;
        while (end < Text.size()) {
            const size_t length = SequenceLength(static_cast<unsigned char>(Text[end]));
            if (end + length - pos > wordBytes) {
                break;
            }
            end += length;
        }
        if (end == pos) {
            end = pos + 1;
        }
        std::string chunk = Text.substr(pos, end - pos);
        for (char& c : chunk) {
            // Line breaks would end the header field.
            if (c == '\r' || c == '\n') {
                c = ' ';
            }
        }
        if (!encoded.empty()) {
            encoded += "\r\n ";
        }
        encoded += "=?UTF-8?B?" + Base64(chunk) + "?=";
        pos = end;
    }
    return encoded;
}

std::string MailboxHeader(const std::string& Name, const std::string& Address) {
    if (Name.empty()) {
        return "<" + Address + ">";
    }
    if (!PlainHeaderText(Name)) {
        return EncodeHeaderText(Name) + " <" + Address + ">";
    }
    std::string quoted = "\"";
    for (const char c : Name) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\" <" + Address + ">";
}

std::string AddressProblem(const std::string& Address) {
    if (Address.empty()) {
        return "it is empty";
    }
    if (Address.size() > 254) {
        return "it is longer than 254 characters";
    }
    for (const char c : Address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return "it holds a blank or a control character";
        }
        if (byte >= 0x80) {
            return "it holds a character outside ASCII";
        }
    }
    const size_t at = Address.rfind('@');
    if (at == std::string::npos) {
        return "it has no \"@\"";
    }
    if (std::string problem = LocalPartProblem(std::string_view(Address).substr(0, at));
        !problem.empty()) {
        return problem;
    }
    return DomainProblem(std::string_view(Address).substr(at + 1));
}

bool UsableAddress(const std::string& Address) {
    return AddressProblem(Address).empty();
}

std::string Printable(const std::string& Text) {
    std::string shown;
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace smtp_format

TSmtpClient::TSmtpClient() {
    InitCurlOnce();
}

TSmtpClient::~TSmtpClient() {
    Close();
}

void TSmtpClient::Reset(const TSmtpSettings& Settings) {
    Close();
    FSettings = Settings;
}

void TSmtpClient::SetTimeouts(long ConnectSeconds, long AnswerSeconds) {
    FConnectTimeout = std::max(1L, ConnectSeconds);
    FAnswerTimeout = std::max(1L, AnswerSeconds);
}

void TSmtpClient::Close() {
    if (FCurl) {
        // Cleaning the handle up ends its cached connection with QUIT.
        curl_easy_cleanup(static_cast<CURL*>(FCurl));
        FCurl = nullptr;
    }
}

bool TSmtpClient::UsableSettings(std::string& Host) {
    Host = UrlHost(FSettings.Host);
    if (Host.empty() || FSettings.Port <= 0 || FSettings.Port > 65535) {
        FLastError = "no usable SMTP host and port (\"" + smtp_format::Printable(FSettings.Host) +
                     "\", " + std::to_string(FSettings.Port) + ")";
        return false;
    }
    if (!FSettings.FromEmail.empty()) {
        if (const std::string problem = smtp_format::AddressProblem(FSettings.FromEmail);
            !problem.empty()) {
            FLastError = "the sender address \"" + smtp_format::Printable(FSettings.FromEmail) +
                         "\" (\"sfromemail\") is not usable: " + problem;
            return false;
        }
    }
    return true;
}

TSmtpResult TSmtpClient::Send(const TSmtpMessage& Message) {
    FLastError.clear();
    std::string host;
    if (!UsableSettings(host)) {
        return TSmtpResult::Unreachable;
    }
    const std::string to = smtp_format::AddressOf(Message.Recipient);
    if (!smtp_format::UsableAddress(to)) {
        FLastError = "no usable recipient address: " + smtp_format::Printable(Message.Recipient);
        return TSmtpResult::Refused;
    }
    if (!FCurl) {
        FCurl = curl_easy_init();
        if (!FCurl) {
            FLastError = "libcurl could not be set up";
            return TSmtpResult::Unreachable;
        }
    }
    CURL* curl = static_cast<CURL*>(FCurl);
    // The envelope sender must be an address: a server refuses anything else.
    const std::string from = FSettings.FromEmail.empty() ? "lmVidmill" : FSettings.FromEmail;
    const bool implicitTls = FSettings.Port == 465;
    const bool login = !FSettings.Login.empty() || !FSettings.Password.empty();
    const std::string url =
        (implicitTls ? "smtps://" : "smtp://") + host + ":" + std::to_string(FSettings.Port);

    TCurlMail mail(curl);
    const std::string fromHeader =
        smtp_format::MailboxHeader(FSettings.FromName, FSettings.FromEmail);
    mail.AddHeader("Date: " + DateHeader());
    mail.AddHeader("From: " + fromHeader);
    mail.AddHeader("Sender: " + fromHeader);
    mail.AddHeader("To: " + smtp_format::MailboxHeader(smtp_format::NameOf(Message.Recipient), to));
    mail.AddHeader("Subject: " + smtp_format::EncodeHeaderText(Message.Subject));
    mail.AddHeader("Message-ID: " + MessageId(FSettings.FromEmail));
    mail.AddRecipient(to);
    mail.SetContent(Message);

    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, AbortCheck);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(FAbort));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, FConnectTimeout);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, FAnswerTimeout);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, LowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, FAnswerTimeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, MailTimeoutSeconds);
    // A login never crosses the network in clear text unless the settings allow it; without
    // one, TLS is still used whenever the server offers it.
    curl_easy_setopt(
        curl, CURLOPT_USE_SSL,
        implicitTls || (login && !FSettings.AllowPlain) ? CURLUSESSL_ALL : CURLUSESSL_TRY);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!FSettings.CAFile.empty()) {
        // The handle is made anew with every change of settings: the store stays the default.
        curl_easy_setopt(curl, CURLOPT_CAINFO, FSettings.CAFile.c_str());
    }
    if (login) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, FSettings.Login.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, FSettings.Password.c_str());
        curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + from + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, mail.Recipients());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, mail.Headers());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mail.Mime());

    const CURLcode code = curl_easy_perform(curl);
    long answer = 0;
    curl_off_t uploaded = 0;
    curl_off_t total = -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer);
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_UPLOAD_T, &total);
    // Nothing of this mail may be used by the handle once it is freed.
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (code != CURLE_OK) {
        FLastError = std::string(error[0] ? error : curl_easy_strerror(code)) +
                     (answer ? " (answer " + std::to_string(answer) + ")" : std::string());
        ExplainFailure(code);
    }
    return Classify(code, answer, uploaded > 0 && (total < 0 || uploaded >= total));
}

void TSmtpClient::ExplainFailure(int Code) {
    switch (static_cast<CURLcode>(Code)) {
        case CURLE_USE_SSL_FAILED:
            FLastError +=
                "; the server offers no STARTTLS, and the login is not sent in clear "
                "text unless \"smtpallowplain\" allows it";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            FLastError +=
                "; the server's certificate is not trusted (\"smtpcafile\" may name the "
                "certificates to trust)";
            break;
        default:
            break;
    }
}

TSmtpResult TSmtpClient::Classify(int Code, long Answer, bool MailWentOut) {
    if (Code == CURLE_OK) {
        return TSmtpResult::Sent;
    }
    if (Code == CURLE_LOGIN_DENIED) {
        Close();
        return TSmtpResult::LoginRefused;
    }
    // An answer of the server to this mail is a verdict on it; the connection stays usable.
    if (Answer >= 500 && Answer < 600) {
        return TSmtpResult::Refused;
    }
    if (Answer >= 400 && Answer < 500) {
        return TSmtpResult::Deferred;
    }
    Close();
    return MailWentOut ? TSmtpResult::InDoubt : TSmtpResult::Unreachable;
}
