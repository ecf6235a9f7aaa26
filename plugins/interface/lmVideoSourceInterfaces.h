#pragma once

// The contract between the server (the host) and a video-source plug-in: a shared object named
// "*.lvs" with C exports and COM-style interfaces. The interfaces are abstract classes whose
// virtual slots appear in exactly the order below; plug-ins built by another compiler rely on
// that order, so never insert, remove or reorder a method. Booleans cross the boundary as one
// byte (non-zero is true), text as a NUL-terminated UTF-16 string, and no exception may leave a
// plug-in or host call.

#include <cstdint>

#if defined(_WIN32)
#define LVS_CALL __stdcall
#define LVS_EXPORT extern "C" __declspec(dllexport)
#else
#define LVS_CALL
#define LVS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// One byte; any non-zero value is true.
using LvsBool = uint8_t;
inline constexpr LvsBool LvsTrue = 1;
inline constexpr LvsBool LvsFalse = 0;

// The 32-bit result of QueryInterface (negative values are failures).
using LvsResult = int32_t;
inline constexpr LvsResult LVS_S_OK = 0;
inline constexpr LvsResult LVS_E_NOINTERFACE = static_cast<LvsResult>(0x80004002u);
inline constexpr LvsResult LVS_E_POINTER = static_cast<LvsResult>(0x80004003u);

// Interface identity, laid out as a Windows GUID.
struct TLvsIID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend constexpr bool operator==(const TLvsIID& a, const TLvsIID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
            return false;
        }
        for (int i = 0; i < 8; ++i) {
            if (a.Data4[i] != b.Data4[i]) {
                return false;
            }
        }
        return true;
    }
};

inline constexpr TLvsIID IID_ILvsUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr TLvsIID IID_IVideoSource = {
    0xE068BA01, 0x23BC, 0x454B, {0xAC, 0x7F, 0xFE, 0x6F, 0x83, 0xAA, 0x58, 0xFB}};
inline constexpr TLvsIID IID_IVideoSourceEncoder = {
    0x14236056, 0xE7F0, 0x4F26, {0x8B, 0x49, 0xD1, 0xFD, 0xFA, 0xA2, 0xBA, 0xBA}};
// Our own addition: the clip facts a container carries beyond the picture (IVideoSourceMetadata).
inline constexpr TLvsIID IID_IVideoSourceMetadata = {
    0x34D23E8F, 0xC694, 0x4EC8, {0x92, 0x3E, 0x16, 0xF2, 0x47, 0xEA, 0xD8, 0x1E}};
inline constexpr TLvsIID IID_IVideoSourceHost = {
    0xBBC07298, 0x7D25, 0x4285, {0x9E, 0x39, 0xCE, 0x89, 0x3E, 0xD4, 0x55, 0x09}};

// Value of SetHostType for this server.
inline constexpr int32_t LvsHostTypeServer = 1;
// Flags the host passes to IVideoSource::Open.
inline constexpr int32_t LvsOpenFlags = 1;

// Field-order codes of IVideoSource::GetFieldOrder.
enum : int32_t {
    LvsFieldUnknownOrProgressive = 0,
    LvsFieldTopFirst = 1,
    LvsFieldBottomFirst = 2,
    LvsFieldTopStoredBottomDisplayed = 3,
    LvsFieldBottomStoredTopDisplayed = 4,
};

// Caption types of IVideoSource::GetCaptionType.
enum : int32_t {
    LvsCaptionNone = 0,
    LvsCaptionCEA608 = 1,
};

// Delivered frames: 4 bytes per pixel in the order blue, green, red, alpha, rows top to bottom.
inline constexpr int32_t LvsBytesPerPixel = 4;
inline constexpr int32_t LvsOutputBitDepth = 32;
// One CEA-608 caption pair per frame.
inline constexpr int32_t LvsCaptionBytes = 2;

// Slots 0 to 2 of every interface. The destructor is protected and not virtual so that it takes
// no slot; objects free themselves in Release.
class ILvsUnknown {
  public:
    virtual LvsResult LVS_CALL QueryInterface(const TLvsIID& iid, void** object) = 0;
    virtual int32_t LVS_CALL AddRef() = 0;
    virtual int32_t LVS_CALL Release() = 0;

  protected:
    ~ILvsUnknown() = default;
};

// The host's side, one object per loaded plug-in, handed to InitVideoSource. It is not reference
// counted: AddRef and Release answer -1. A plug-in must not keep it after InitVideoSource.
class IVideoSourceHost : public ILvsUnknown {
  public:
    virtual void LVS_CALL SetDescription(const char16_t* name) = 0;     // slot 3
    virtual void LVS_CALL AddExtension(const char16_t* extension) = 0;  // slot 4
    virtual void LVS_CALL AddEncoderFormat(const char16_t* formatName,  // slot 5
                                           const char16_t* containerExtension,
                                           const char16_t* formatTagText, uint32_t formatTag) = 0;

  protected:
    ~IVideoSourceHost() = default;
};

// One opened media file, reference counted; the object frees itself at its last Release.
class IVideoSource : public ILvsUnknown {
  public:
    virtual LvsBool LVS_CALL Open(const char16_t* fileName, int32_t flags) = 0;  // slot 3
    virtual int32_t LVS_CALL GetHeight() = 0;                                    // slot 4
    virtual int32_t LVS_CALL GetWidth() = 0;                                     // slot 5
    virtual int32_t LVS_CALL GetFrameCount() = 0;                                // slot 6
    virtual int32_t LVS_CALL GetPreferredBufferCount() = 0;                      // slot 7
    // Frames per second; negative when the source has no rate of its own.
    virtual float LVS_CALL GetFrameRate() = 0;         // slot 8
    virtual LvsBool LVS_CALL IsInterlaced() = 0;       // slot 9
    virtual int32_t LVS_CALL GetFieldOrder() = 0;      // slot 10
    virtual LvsBool LVS_CALL IsOpaque() = 0;           // slot 11
    virtual int32_t LVS_CALL GetOutputBitDepth() = 0;  // slot 12
    virtual int32_t LVS_CALL GetBitDepth() = 0;        // slot 13
    virtual int32_t LVS_CALL GetAudioChannels() = 0;   // slot 14
    // Fills `buffer` with one frame; `pitch` is the distance between rows in bytes.
    virtual LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) = 0;  // slot 15
    // As ReadFrame, plus the frame's interleaved 16-bit PCM; `audioBytes` receives its size.
    virtual LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch,  // slot 16
                                            void* audioBuffer, int32_t audioBufferSize,
                                            int32_t* audioBytes) = 0;
    // With a nil `text` stores the length in characters (without the NUL) into `length`; with a
    // buffer copies at most `length` characters and a NUL. False when `length` is nil or there
    // is no text.
    virtual LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) = 0;  // slot 17
    virtual uint32_t LVS_CALL GetCodecFourCC() = 0;                              // slot 18
    virtual int32_t LVS_CALL GetCaptionType() = 0;                               // slot 19
    virtual LvsBool LVS_CALL GetCaptionData(int32_t frame, void* buffer,         // slot 20
                                            int32_t bufferSize, int32_t* byteCount) = 0;

  protected:
    ~IVideoSource() = default;
};

// Implemented by a host that encodes: hands the encoder one frame (and its audio) per call.
class IVideoSourceFrameProvider : public ILvsUnknown {
  public:
    // False when there are no more frames.
    virtual LvsBool LVS_CALL GetNextFrame(void* frameBuffer, int32_t frameBufferSize,  // slot 3
                                          void* audioBuffer, int32_t audioChannels,
                                          int32_t audioSamples) = 0;

  protected:
    ~IVideoSourceFrameProvider() = default;
};

// Writes a new movie from frames pulled from an IVideoSourceFrameProvider.
class IVideoSourceEncoder : public ILvsUnknown {
  public:
    virtual LvsBool LVS_CALL BeginEncode(const char16_t* fileName, int32_t width,  // slot 3
                                         int32_t height, int32_t reserved, const char16_t* codecTag,
                                         int32_t rateNumerator, int32_t rateDenominator,
                                         LvsBool withAudio) = 0;
    virtual LvsBool LVS_CALL Encode() = 0;                                               // slot 4
    virtual LvsBool LVS_CALL EndEncode() = 0;                                            // slot 5
    virtual LvsBool LVS_CALL SetFrameProvider(IVideoSourceFrameProvider* provider) = 0;  // slot 6
    virtual LvsBool LVS_CALL ConfigureCompression(int32_t rateNumerator,                 // slot 7
                                                  int32_t rateDenominator) = 0;
    virtual LvsBool LVS_CALL SetSettings(const void* data, int32_t size) = 0;  // slot 8
    virtual LvsBool LVS_CALL GetSettings(void* buffer, int32_t bufferSize,     // slot 9
                                         int32_t* size) = 0;
    virtual LvsBool LVS_CALL GetCodecType(uint32_t* fourCC) = 0;  // slot 10
    virtual LvsBool LVS_CALL SetCodecType(uint32_t fourCC) = 0;   // slot 11

  protected:
    ~IVideoSourceEncoder() = default;
};

// Offered by sources whose files carry more than the picture; a host asks for it with
// QueryInterface on the IVideoSource and may do without it. Same object and reference count as
// the IVideoSource.
class IVideoSourceMetadata : public ILvsUnknown {
  public:
    // The clip's start time code, "hh:mm:ss:ff" (";" before the frames for drop-frame), with
    // the protocol of IVideoSource::GetLastError; false when the clip has none.
    virtual LvsBool LVS_CALL GetStartTimeCode(int32_t* length, char16_t* text) = 0;  // slot 3

  protected:
    ~IVideoSourceMetadata() = default;
};

// The exports of a plug-in library, bound by name.
extern "C" {
typedef void(LVS_CALL* TSetHostTypeProc)(int32_t hostType);
typedef LvsBool(LVS_CALL* TInitVideoSourceProc)(IVideoSourceHost* host);
typedef LvsBool(LVS_CALL* TGetVideoSourceProc)(IVideoSource** source);
typedef LvsBool(LVS_CALL* TDeInitVideoSourceProc)();
typedef LvsBool(LVS_CALL* TGetVideoSourceEncoderProc)(IVideoSourceEncoder** encoder);
}

inline constexpr const char* LvsExportSetHostType = "SetHostType";
inline constexpr const char* LvsExportInitVideoSource = "InitVideoSource";
inline constexpr const char* LvsExportGetVideoSource = "GetVideoSource";
inline constexpr const char* LvsExportDeInitVideoSource = "DeInitVideoSource";
inline constexpr const char* LvsExportGetVideoSourceEncoder = "GetVideoSourceEncoder";
inline constexpr const char* LvsPluginExtension = "lvs";
