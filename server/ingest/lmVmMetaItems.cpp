#include "server/ingest/lmVmMetaItems.h"

#include <charconv>

#include "foundation/kxXMLUnicode.h"

namespace {

template <class TInteger>
TInteger ParseDecimal(const std::string& text, TInteger Default) {
    if (text.empty())
        return Default;
    const char* first = text.data();
    const char* last = first + text.size();
    if (*first == '+' && last - first > 1 && first[1] != '-')
        ++first;
    TInteger value{};
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last)
        return Default;
    return value;
}

}  // namespace

int32_t ThumbFrameIndex(int32_t duration) {
    const int32_t middle = duration / 2;
    return middle > 25 ? 25 : (middle < 0 ? 0 : middle);
}

std::string TMetaItem::AsText(std::string_view Default) const {
    return FValue.empty() ? std::string(Default) : FValue;
}

int32_t TMetaItem::AsInteger(int32_t Default) const {
    return ParseDecimal<int32_t>(FValue, Default);
}

int64_t TMetaItem::AsInt64(int64_t Default) const {
    return ParseDecimal<int64_t>(FValue, Default);
}

bool TMetaItem::AsBoolean(bool Default) const {
    return FValue.empty() ? Default : FValue == "1";
}

TMetaItems::TMetaItems() : FFlipBook(std::make_unique<TFlipBook>()) {}

void TMetaItems::SetText(std::string_view key, std::string_view value) {
    if (key.empty())
        return;
    TLock lock(FLock);
    TMetaItem* item = FItems.FindObject(key);
    if (item == nullptr) {
        auto created = std::make_unique<TMetaItem>();
        item = created.get();
        FItems.Add(std::string(key), std::move(created));
    }
    item->FKey = key;
    item->FValue = value;
}

void TMetaItems::SetInteger(std::string_view key, int32_t value) {
    SetText(key, std::to_string(value));
}

void TMetaItems::SetInt64(std::string_view key, int64_t value) {
    SetText(key, std::to_string(value));
}

void TMetaItems::SetBoolean(std::string_view key, bool value) {
    SetText(key, value ? "1" : "0");
}

bool TMetaItems::Exists(std::string_view key) const {
    TLock lock(FLock);
    return FItems.IndexOf(key) >= 0;
}

TMetaItem TMetaItems::Item(std::string_view key) const {
    TLock lock(FLock);
    const TMetaItem* item = FItems.FindObject(key);
    return item != nullptr ? *item : TMetaItem();
}

int32_t TMetaItems::Count() const {
    TLock lock(FLock);
    return FItems.Count();
}

TMetaItem TMetaItems::Items(int32_t index) const {
    TLock lock(FLock);
    return *FItems.Objects(index);
}

void TMetaItems::WriteToXML(TXMLUnicode& document) const {
    TLock lock(FLock);
    for (int32_t i = 0; i < FItems.Count(); ++i) {
        const TMetaItem& item = *FItems.Objects(i);
        document.AddElement(item.Key(), item.Value());
    }
}

void TMetaItems::ReleaseMedia() {
    FStreams.clear();
    FFlipBook.reset();
}
