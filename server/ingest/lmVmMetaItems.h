#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/kxFastList.h"
#include "foundation/kxMutex.h"
#include "server/transcode/lmVmFlipBook.h"

class TXMLUnicode;

// The metadata keys of a task, with the pipeline step that sets each. Keys compare without
// regard to case; values are text, booleans "1"/"0", integers decimal.
inline constexpr std::string_view MetaFileName = "filename";        // clip name (file name)
inline constexpr std::string_view MetaOrgFileName = "orgfilename";  // name as found, with ext
inline constexpr std::string_view MetaRecallID = "recallid";        // absent when there is none
inline constexpr std::string_view MetaLoop = "loop";                // boolean
inline constexpr std::string_view MetaHoldLast = "holdlast";        // boolean
inline constexpr std::string_view MetaPremul = "premul";            // boolean: shaped alpha
inline constexpr std::string_view MetaFieldMode = "fieldmode";      // 0, 1 or 2
inline constexpr std::string_view MetaStartTimeCode = "starttc";  // "hh:mm:ss:ff" or "hh:mm:ss;ff"
inline constexpr std::string_view MetaDuration = "duration";      // frames
inline constexpr std::string_view MetaWidth = "width";
inline constexpr std::string_view MetaHeight = "height";
inline constexpr std::string_view MetaBitDepth = "bitdepth";
inline constexpr std::string_view MetaFrameRate = "framerate";  // numerator, 0 for a still
inline constexpr std::string_view MetaFrameDiv = "framediv";    // denominator, 0 for a still
inline constexpr std::string_view MetaAudioChannels = "audiochannels";
inline constexpr std::string_view MetaThumbFrame = "thumbframe";
inline constexpr std::string_view MetaFileSize = "filesize";  // output bytes, 64-bit
inline constexpr std::string_view MetaCodec = "codec";
inline constexpr std::string_view MetaExt = "ext";  // output extension without full stop

inline constexpr std::string_view MetaCodecLMVC = "LMVC";
inline constexpr std::string_view MetaCodecStill = "STILL";
inline constexpr std::string_view MetaExtAVI = "avi";

// The frame a clip's thumbnail is taken from: the middle frame, but no later than frame 25.
int32_t ThumbFrameIndex(int32_t duration);

class TMetaItem {
  public:
    TMetaItem() = default;
    TMetaItem(std::string key, std::string value)
        : FKey(std::move(key)), FValue(std::move(value)) {}

    const std::string& Key() const { return FKey; }
    const std::string& Value() const { return FValue; }

    // The value, or `Default` when the value is empty.
    std::string AsText(std::string_view Default = {}) const;
    // `Default` when the value is empty or not a decimal integer of that width.
    int32_t AsInteger(int32_t Default = 0) const;
    int64_t AsInt64(int64_t Default = 0) const;
    // `Default` when the value is empty; otherwise true exactly for "1".
    bool AsBoolean(bool Default = false) const;

  private:
    friend class TMetaItems;
    std::string FKey;
    std::string FValue;
};

// The metadata store of one media file: key/value items in case-insensitive key order, the
// encoded images (the first is the thumbnail) and the preview flipbook. The job adds items
// while managers' requests write the task out on other threads, so the items are guarded by a
// lock of their own (taken last, nothing is called under it) and read as copies.
class TMetaItems {
  public:
    TMetaItems();
    TMetaItems(const TMetaItems&) = delete;
    TMetaItems& operator=(const TMetaItems&) = delete;

    // Adds or replaces the item; the key keeps the letter case of the latest call. An empty
    // key is ignored: it could never be written out as an element.
    void SetText(std::string_view key, std::string_view value);
    void SetInteger(std::string_view key, int32_t value);
    void SetInt64(std::string_view key, int64_t value);
    void SetBoolean(std::string_view key, bool value);

    bool Exists(std::string_view key) const;
    // A copy of the item, or an empty item (empty key and value) when there is none.
    TMetaItem Item(std::string_view key) const;

    // The items in key order.
    int32_t Count() const;
    TMetaItem Items(int32_t index) const;

    // One child element per item, named by the key and holding the value, under the
    // document's current element, in key order.
    void WriteToXML(TXMLUnicode& document) const;

    // Encoded images (PNG); the store owns them.
    std::vector<std::vector<uint8_t>>& Streams() { return FStreams; }
    const std::vector<std::vector<uint8_t>>& Streams() const { return FStreams; }

    // The flipbook, or null once the media have been released.
    TFlipBook* FlipBook() const { return FFlipBook.get(); }

    // Frees the images and the flipbook; the items stay.
    void ReleaseMedia();

  private:
    mutable TMutex FLock;
    TFastStringList<std::unique_ptr<TMetaItem>> FItems GUARDED_BY(FLock);
    // The images and the flipbook belong to the job alone: nothing else reads them while it runs.
    std::vector<std::vector<uint8_t>> FStreams;
    std::unique_ptr<TFlipBook> FFlipBook;
};
