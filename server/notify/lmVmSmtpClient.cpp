#include "server/notify/lmVmSmtpClient.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "foundation/kxGUID.h"

namespace {

// Bounds on one exchange: a server that stops answering cannot hold the mail thread.
constexpr long ConnectTimeoutSeconds = 30;
constexpr long AnswerTimeoutSeconds = 60;
constexpr long LowSpeedBytes = 100;
constexpr long LowSpeedSeconds = 60;

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

std::string MessageId(const std::string& Sender) {
    std::string id = GUIDToString(NewGUID());
    id = id.substr(1, id.size() - 2);
    const size_t at = Sender.find('@');
    return "<" + id + "@" + (at == std::string::npos ? "lmVidmill" : Sender.substr(at + 1)) + ">";
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

int AbortCheck(void* Flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* abort = static_cast<const std::atomic<bool>*>(Flag);
    return abort && abort->load() ? 1 : 0;
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

bool UsableAddress(const std::string& Address) {
    const size_t at = Address.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= Address.size()) {
        return false;
    }
    for (const char c : Address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '<' || c == '>' || c == ',') {
            return false;
        }
    }
    return true;
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

void TSmtpClient::Close() {
    if (FCurl) {
        // Cleaning the handle up ends its cached connection with QUIT.
        curl_easy_cleanup(static_cast<CURL*>(FCurl));
        FCurl = nullptr;
    }
}

TSmtpResult TSmtpClient::Send(const TSmtpMessage& Message) {
    FLastError.clear();
    const std::string host = UrlHost(FSettings.Host);
    if (host.empty() || FSettings.Port <= 0 || FSettings.Port > 65535) {
        FLastError = "no usable SMTP host and port (\"" + FSettings.Host + "\", " +
                     std::to_string(FSettings.Port) + ")";
        return TSmtpResult::Unreachable;
    }
    const std::string to = smtp_format::AddressOf(Message.Recipient);
    if (!smtp_format::UsableAddress(to)) {
        FLastError = "no usable recipient address: " + Message.Recipient;
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
    const std::string from =
        smtp_format::UsableAddress(FSettings.FromEmail) ? FSettings.FromEmail : "lmVidmill";
    const bool implicitTls = FSettings.Port == 465;
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
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, AnswerTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, LowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, LowSpeedSeconds);
    // TLS whenever the server offers it; a relay without TLS still takes the mail. Relays
    // commonly carry certificates of their own making, so the channel is encrypted without
    // asking who signed it (as servers relaying to each other do).
    curl_easy_setopt(curl, CURLOPT_USE_SSL, implicitTls ? CURLUSESSL_ALL : CURLUSESSL_TRY);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!FSettings.Login.empty() || !FSettings.Password.empty()) {
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
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer);
    // Nothing of this mail may be used by the handle once it is freed.
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (code != CURLE_OK) {
        FLastError = std::string(error[0] ? error : curl_easy_strerror(code)) +
                     (answer ? " (answer " + std::to_string(answer) + ")" : std::string());
    }
    return Classify(code, answer);
}

TSmtpResult TSmtpClient::Classify(int Code, long Answer) {
    switch (static_cast<CURLcode>(Code)) {
        case CURLE_OK:
            return TSmtpResult::Sent;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_LOGIN_DENIED:
        case CURLE_GOT_NOTHING:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_ABORTED_BY_CALLBACK:
            // A refused login is the operator's to mend, not a verdict on this mail.
            Close();
            return TSmtpResult::Unreachable;
        default:
            break;
    }
    if (Answer >= 500 && Answer < 600) {
        return TSmtpResult::Refused;
    }
    if (Answer >= 400 && Answer < 500) {
        return TSmtpResult::Deferred;
    }
    Close();
    return TSmtpResult::Unreachable;
}
