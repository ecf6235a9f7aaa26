#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxUnicodeCodecs.h"

// The XML document every file and packet of the system is kept in: a tree of elements with
// ordered attributes and text, driven through a cursor. Text is UTF-8; element and attribute
// names are compared exactly, byte for byte.

class AReader;
class TXMLUnicode;

// A moment as days since 30-12-1899; the fraction is the time of day.
using TDateTime = double;

// Builds a date-time from its parts; false when a part is out of range.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& value);
// Splits a date-time into its parts (milliseconds rounded).
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& millisecond);
// The date-time as documents store it and the server shows it: "dd-mm-yyyy hh:nn:ss".
std::string FormatDateTime(TDateTime value);
// The current local time as a date-time (a leap second counts as second 59).
TDateTime NowDateTime();
// The time from `start` to `end` as "hh:nn:ss.zzz": the time-of-day part of the difference,
// so whole days drop out and a negative difference counts back from midnight.
std::string FormatElapsed(TDateTime start, TDateTime end);

class TXMLNamedObject {
  public:
    explicit TXMLNamedObject(std::string_view name = {}) : Name(name) {}
    std::string Name;

  protected:
    ~TXMLNamedObject() = default;
};

// The text of an element, with typed readers that fall back to a default.
class TXMLText {
  public:
    std::string Text;

    // The text as stored when it holds a character above U+0020, else `defaultValue`.
    std::string AsString(std::string_view defaultValue = {}) const;
    // The text when not empty, else `defaultValue`.
    std::string AsRawString(std::string_view defaultValue = {}) const;
    // Trimmed, then decimal with optional sign or hexadecimal after "$", "x" or "0x"; failing
    // that, bare hexadecimal digits; failing that, `defaultValue`.
    int32_t AsInteger(int32_t defaultValue = 0) const;
    // `defaultValue` for empty text; otherwise true exactly for "1".
    bool AsBoolean(bool defaultValue = false) const;
    TGUID AsGUID(const TGUID& defaultValue = NullGUID) const;
    double AsFloat(double defaultValue = 0) const;
    // "dd-mm-yyyy", optionally followed by "hh:nn:ss", or a time alone.
    TDateTime AsDateTime(TDateTime defaultValue = 0) const;

    void AppendText(std::string_view text) { Text.append(text); }
};

class TXMLAttribute : public TXMLNamedObject {
  public:
    TXMLAttribute() = default;
    TXMLAttribute(std::string_view name, std::string_view value)
        : TXMLNamedObject(name), Value(value) {}

    std::string Value;  // decoded: entities already replaced

    std::string AsString(std::string_view defaultValue = {}) const;
    // `defaultValue` for an empty value, else the integer rule of TXMLText on the untrimmed
    // value.
    int32_t AsInteger(int32_t defaultValue = 0) const;
    TGUID AsGUID(const TGUID& defaultValue = NullGUID) const;
};

// The attributes of an element in insertion order; duplicate names are kept and lookups find
// the first. Items stay at their address while further attributes are added.
class TXMLAttributes {
  public:
    int Count() const { return static_cast<int>(Items_.size()); }
    TXMLAttribute* Items(int index) const;  // nullptr outside 0 to Count - 1
    TXMLAttribute* Find(std::string_view name) const;
    int Add(std::string_view name, std::string_view value);

  private:
    std::vector<std::unique_ptr<TXMLAttribute>> Items_;
};

// One element. Elements are made only through Create and belong to their document, which frees
// them all at once; the child list does not own.
class TXMLElement : public TXMLNamedObject {
  protected:
    // Only the element classes can make elements, so that every one is registered with its
    // document.
    class TKey {
        friend class TXMLElement;
        friend class TCDATAElement;
        TKey() = default;
    };

  public:
    TXMLElement(TKey, TXMLUnicode& document, std::string_view name);
    virtual ~TXMLElement() = default;
    TXMLElement(const TXMLElement&) = delete;
    TXMLElement& operator=(const TXMLElement&) = delete;

    // A new element owned by `document`, appended to `parent`'s children when a parent of the
    // same document is given. The first element made in a document becomes its root.
    static TXMLElement* Create(TXMLUnicode& document, std::string_view name, TXMLElement* parent);

    TXMLText Text;

    TXMLElement* Parent() const { return Parent_; }
    TXMLUnicode& Document() const { return *Document_; }

    int ChildCount() const { return Children_ ? static_cast<int>(Children_->size()) : 0; }
    TXMLElement* Children(int index) const;  // nullptr outside 0 to ChildCount - 1
    // The first child of that name; with `recursive`, depth first in document order, a node
    // before its descendants.
    TXMLElement* FindChild(std::string_view name, bool recursive = false) const;

    int AttributeCount() const { return Attributes_ ? Attributes_->Count() : 0; }
    TXMLAttribute* Attributes(int index) const;
    // The first attribute of that name, else the document's shared empty attribute.
    const TXMLAttribute& AttributeByName(std::string_view name) const;
    // Appends an attribute; one of the same name already there is kept as well.
    TXMLAttribute* AddAttribute(std::string_view name, std::string_view value);

    // Writing: the start tag (false when the node wrote itself whole and has no end), the
    // content after the children, and the end of a childless element (false: nothing written,
    // the caller closes the tag with "/>"). Output is UTF-8 appended to `out`.
    virtual bool WriteStart(std::string& out) const;
    virtual bool WriteContent(std::string& out) const;
    virtual bool WriteEnd(std::string& out) const;

  protected:
    static TXMLElement* Register(std::unique_ptr<TXMLElement> element, TXMLElement* parent);

  private:
    friend class TXMLUnicode;

    TXMLUnicode* Document_;
    TXMLElement* Parent_ = nullptr;
    std::unique_ptr<TXMLAttributes> Attributes_;
    std::unique_ptr<std::vector<TXMLElement*>> Children_;
};

// A CDATA section, named "#CDATA"; its content is its Text, written unescaped.
class TCDATAElement : public TXMLElement {
  public:
    TCDATAElement(TKey key, TXMLUnicode& document) : TXMLElement(key, document, "#CDATA") {}

    static TCDATAElement* Create(TXMLUnicode& document, TXMLElement* parent);

    bool WriteStart(std::string& out) const override;
    bool WriteContent(std::string& out) const override;
    bool WriteEnd(std::string& out) const override;
};

// The document with its cursor. Used by one thread at a time.
class TXMLUnicode {
  public:
    TXMLUnicode();
    virtual ~TXMLUnicode();
    TXMLUnicode(const TXMLUnicode&) = delete;
    TXMLUnicode& operator=(const TXMLUnicode&) = delete;

    TXMLElement* Root() const { return Root_; }
    TXMLElement* Current() const { return Current_; }
    int Depth() const { return Depth_; }
    // Elements the document holds, reachable from the root or not.
    int ElementCount() const { return static_cast<int>(Elements.size()); }

    // The declaration written at the top of a save.
    std::string Target = "xml";
    std::string Version = "1.0";
    std::string EncodingName = "UTF-8";
    bool WriteDeclaration = true;
    // When set, loading uses this encoding instead of detecting one and saving writes it;
    // otherwise saving writes UTF-8.
    PCodecClass Encoding = nullptr;
    // Raw bytes written at the very start of a save when WritePreamble is set.
    bool WritePreamble = false;
    std::string Preamble;
    // The message of the last failed save, or of the last load when it stopped at a bound.
    const std::string& LastError() const { return LastError_; }
    // Bounds a load puts on the tree it adds, so that hostile input cannot cost more than a
    // fixed amount however it is shaped: elements and attributes together, and elements open
    // at once (0: no bound). A load that would pass one stops there and fails, with
    // LastError saying which; what was read before stays.
    int64_t MaxLoadNodes = 0;
    int MaxLoadDepth = 0;

    // Writing, relative to the cursor.
    TXMLElement* OpenElement(std::string_view name, std::string_view text = {});
    void CloseElement();
    TXMLElement* AddElement(std::string_view name, std::string_view text = {});
    TXMLElement* AddInteger(std::string_view name, int32_t value);
    TXMLElement* AddWord(std::string_view name, uint16_t value);
    TXMLElement* AddFloat(std::string_view name, double value);
    TXMLElement* AddDateTime(std::string_view name, TDateTime value);
    TXMLElement* AddGUID(std::string_view name, const TGUID& value);
    TXMLElement* AddBoolean(std::string_view name, bool value);
    // Attributes go on the current element (the root when there is none); nullptr on an
    // empty document.
    TXMLAttribute* AddAttribute(std::string_view name, std::string_view value);
    TXMLAttribute* AddAttributeInteger(std::string_view name, int32_t value);
    TXMLAttribute* AddAttributeGUID(std::string_view name, const TGUID& value);

    // Reading and moving the cursor.
    bool GotoRoot();
    void SetCurrent(TXMLElement* element);
    bool SelectChild(std::string_view name, bool recursive = false);
    bool SelectNext(std::string_view name);
    void PushPosition();
    void PopPosition();
    const TXMLText& ChildText(std::string_view name) const;
    const TXMLAttribute& AttributeByName(std::string_view name) const;

    // What lookups that find nothing return; never changed.
    const TXMLText& EmptyText() const { return EmptyText_; }
    const TXMLAttribute& EmptyAttribute() const { return EmptyAttribute_; }

    void Clear();

    // Loading adds to the document (load into a new or cleared one). A load returns true when
    // the input was read to its end without a reading or decoding error and within the load
    // bounds; it does not check that the markup is well formed. What was read before an error
    // stays. Characters XML cannot carry (controls other than tab, LF and CR, U+FFFE, U+FFFF)
    // are dropped.
    bool LoadFromFile(const std::string& fileName, bool denyWrite = false);
    // `size` bytes from the stream's position, or all the rest when negative.
    virtual bool LoadFromStream(std::istream& stream, int64_t size = -1);
    // From the reader's position, `size` bytes or the rest; the reader is left after them.
    bool LoadFromReader(AReader& reader, int64_t size = -1);
    bool LoadFromBuffer(const void* buffer, int64_t size);
    bool LoadFromString(std::string_view bytes);

    // Saving never changes the document; on failure LastError says why and what was written
    // stays written. Characters XML cannot carry are left out of text, attribute values and
    // CDATA sections, so that every saved document is well formed; bytes that are not UTF-8
    // are written as U+FFFD.
    bool SaveToStream(std::ostream& stream);
    bool SaveToFile(const std::string& fileName);
    bool SaveToString(std::string& bytes);

    // Makes this document what a save and reload of `source` yields.
    void Assign(const TXMLUnicode* source);

  protected:
    // Encodes `text` with the output encoding of the save under way and writes it; raises
    // on a short write.
    virtual void WriteString(std::ostream& stream, std::string_view text);

  private:
    friend class TXMLElement;
    class TLoader;

    TXMLElement* Adopt(std::unique_ptr<TXMLElement> element);
    TXMLElement* NewChild(std::string_view name, std::string_view text);
    // Where writing operations add: the cursor, or the root when there is no cursor.
    TXMLElement* InsertionPoint() const { return Current_ ? Current_ : Root_; }
    bool LoadFrom(AReader& source, PCodecClass codecClass);
    // The declaration and the tree as UTF-8, handed to `flush` in pieces of about 64 KiB.
    void WriteDocument(std::string_view encodingName,
                       const std::function<void(std::string&)>& flush) const;
    void WriteTree(std::string& out, const std::function<void(std::string&)>& flush) const;
    void SaveTo(std::ostream& stream);

    TXMLElement* Root_ = nullptr;
    TXMLElement* Current_ = nullptr;
    int Depth_ = 0;
    std::string LastError_;
    std::vector<TXMLElement*> Positions;
    std::vector<std::unique_ptr<TXMLElement>> Elements;
    const TXMLAttribute EmptyAttribute_{};
    const TXMLText EmptyText_{};
    std::unique_ptr<TCustomUnicodeCodec> OutputCodec;  // during a save
};
