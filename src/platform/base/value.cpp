#include "platform/base/value.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include "platform/base/detail/dictionary_orderer.h"

namespace lv {

namespace {

const Value& nilValue() {
    static const Value& nil = *new Value;
    return nil;
}

template <class T>
T& detach(std::shared_ptr<T>& payload) {
    if (!payload) payload = std::make_shared<T>();
    else if (payload.use_count() > 1) payload = std::make_shared<T>(*payload);
    return *payload;
}

bool lessKey(const Dictionary::Entry& entry, std::string_view key) { return entry.first < key; }

// Whether key a orders strictly before key b, bytewise. Keys mostly differ within their first bytes,
// which are compared here in place; a longer shared start is left to the full comparison.
inline bool keyBefore(std::string_view a, std::string_view b) {
    constexpr std::size_t kInPlace = 8;
    const std::size_t n = std::min({a.size(), b.size(), kInPlace});
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    if (n == kInPlace) return a.substr(kInPlace) < b.substr(kInPlace);
    return a.size() < b.size();
}

}  // namespace

// ---- Texts ----

// The payload of a text: its own std::string, or characters that lie elsewhere in the allocation
// holding it (a TextBlock's), from which the std::string that string() hands out is made on the first
// call. While shared it is only read, by any number of threads; only its sole holder changes it.
class StoredText {
public:
    explicit StoredText(std::string text) noexcept : own_(std::move(text)) {}
    // Made straight from the characters (no temporary std::string moved in).
    explicit StoredText(std::string_view text) : own_(text) {}
    StoredText(const char* characters, std::uint32_t size) noexcept : borrowed_(characters), size_(size) {}
    StoredText(const StoredText&) = delete;
    StoredText& operator=(const StoredText&) = delete;
    ~StoredText() = default;

    std::string_view view() const noexcept {
        return borrowed_ ? std::string_view(borrowed_, size_) : std::string_view(own_);
    }
    const std::string& string() const {
        if (borrowed_ && state_.load(std::memory_order_acquire) != kMade) makeString();
        return own_;
    }
    // For the sole holder only: the text as its own std::string, to change.
    std::string& mutableString() {
        if (borrowed_) {
            if (state_.load(std::memory_order_relaxed) != kMade) own_.assign(borrowed_, size_);
            borrowed_ = nullptr;
            size_ = 0;
        }
        return own_;
    }

private:
    static constexpr std::uint32_t kNotMade = 0;
    static constexpr std::uint32_t kMaking = 1;
    static constexpr std::uint32_t kMade = 2;

    // The first caller makes the string; callers on other threads meanwhile wait for it.
    void makeString() const {
        for (;;) {
            std::uint32_t state = state_.load(std::memory_order_acquire);
            if (state == kMade) return;
            if (state == kMaking) {
                state_.wait(kMaking, std::memory_order_acquire);
                continue;
            }
            if (!state_.compare_exchange_weak(state, kMaking, std::memory_order_acquire)) continue;
            try {
                own_.assign(borrowed_, size_);
            } catch (...) {
                state_.store(kNotMade, std::memory_order_release);
                state_.notify_all();
                throw;
            }
            state_.store(kMade, std::memory_order_release);
            state_.notify_all();
            return;
        }
    }

    mutable std::string own_;
    const char* borrowed_ = nullptr;
    std::uint32_t size_ = 0;  // of the borrowed characters
    mutable std::atomic<std::uint32_t> state_{kNotMade};
};

// A text made alone: its holder count and payload in one allocation.
struct LoneText {
    TextHolders holders;
    StoredText text;

    static void destroy(TextHolders* holders) noexcept { delete reinterpret_cast<LoneText*>(holders); }
    static TextRef make(std::string text) {
        auto* lone = new LoneText{{{1}, &LoneText::destroy}, StoredText(std::move(text))};
        return TextRef(&lone->text, &lone->holders);
    }
};
static_assert(std::is_standard_layout_v<LoneText>);

// A block's allocation: this header, room for its texts' payloads, then room for their characters.
struct TextBlock::Chunk {
    TextHolders holders;
    StoredText* texts = nullptr;
    std::size_t made = 0;
    char* next = nullptr;
    char* end = nullptr;

    static void destroy(TextHolders* holders) noexcept {
        auto* chunk = reinterpret_cast<Chunk*>(holders);
        for (std::size_t i = 0; i < chunk->made; ++i) chunk->texts[i].~StoredText();
        chunk->~Chunk();
        ::operator delete(static_cast<void*>(chunk));
    }
};

void TextBlock::releaseChunk() noexcept {
    static_assert(std::is_standard_layout_v<Chunk>);  // its holder count is its first member
    if (!chunk_) return;
    TextRef::release(&chunk_->holders, 1 + capacity_ - used_);
    chunk_ = nullptr;
}

namespace {

// Texts this short sit inside their std::string (15 bytes in libstdc++, more in others), so their
// characters need no room in a block.
constexpr std::size_t kInlineText = 15;

}  // namespace

bool TextBlock::holds(std::string_view text) const {
    if (full()) return false;
    if (text.size() <= kInlineText) return true;
    return text.size() <= (chunk_ ? static_cast<std::size_t>(chunk_->end - chunk_->next) : bytes_) &&
           text.size() <= std::numeric_limits<std::uint32_t>::max();
}

TextRef TextBlock::makePayload(std::string_view text) {
    if (!chunk_) {
        constexpr std::size_t kHeader =
            (sizeof(Chunk) + alignof(StoredText) - 1) / alignof(StoredText) * alignof(StoredText);
        const std::size_t textsSize = capacity_ * sizeof(StoredText);
        auto* memory = static_cast<char*>(::operator new(kHeader + textsSize + bytes_));
        // One hold for the block and one for each text it may make: a text made takes one over.
        auto* chunk = new (memory) Chunk{{{1 + capacity_}, &Chunk::destroy}};
        chunk->texts = reinterpret_cast<StoredText*>(memory + kHeader);
        chunk->next = memory + kHeader + textsSize;
        chunk->end = chunk->next + bytes_;
        chunk_ = chunk;
    }
    Chunk& chunk = *chunk_;
    StoredText* slot = chunk.texts + chunk.made;
    if (text.size() > kInlineText) longBytes_ += text.size();
    if (text.size() > kInlineText && text.size() <= static_cast<std::size_t>(chunk.end - chunk.next) &&
        text.size() <= std::numeric_limits<std::uint32_t>::max()) {
        std::memcpy(chunk.next, text.data(), text.size());
        new (slot) StoredText(chunk.next, static_cast<std::uint32_t>(text.size()));
        chunk.next += text.size();
    } else {
        new (slot) StoredText(text);
    }
    ++chunk.made;
    ++used_;
    return TextRef(slot, &chunk.holders);
}

// ---- Dictionary ----

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    entries_.reserve(entries.size());
    for (const auto& entry : entries) appendUnsorted(entry.first, entry.second);
    finishAppending();
}

const Value* Dictionary::find(std::string_view key) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key, lessKey);
    if (it != entries_.end() && it->first == key) return &it->second;
    return nullptr;
}

const Value& Dictionary::get(std::string_view key) const {
    const Value* v = find(key);
    return v ? *v : nilValue();
}

void Dictionary::set(std::string key, Value value) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), std::string_view(key), lessKey);
    const bool present = it != entries_.end() && it->first == key;
    if (value.isNil()) {
        if (present) entries_.erase(it);
        return;
    }
    if (present) it->second = std::move(value);
    else entries_.emplace(it, std::move(key), std::move(value));
}

Value& Dictionary::at(std::string key) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), std::string_view(key), lessKey);
    if (it == entries_.end() || it->first != key) it = entries_.emplace(it, std::move(key), Value());
    return it->second;
}

bool Dictionary::remove(std::string_view key) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key, lessKey);
    if (it == entries_.end() || it->first != key) return false;
    entries_.erase(it);
    return true;
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& entry : entries_) out.push_back(entry.first);
    return out;
}

void Dictionary::appendUnsorted(std::string key, Value value) {
    if (value.isNil()) return;
    entries_.emplace_back(std::move(key), std::move(value));
}

namespace {

// Decoders mostly append keys in order and without repeats: one pass tells.
bool strictlyAscending(const std::vector<Dictionary::Entry>& entries) {
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (!keyBefore(entries[i - 1].first, entries[i].first)) return false;
    }
    return true;
}

// Writes into `order` (room for every entry) the indices of the entries a dictionary keeps, in key
// order: of equal keys the last. Gives the count kept. Only indices move while sorting; each entry is
// then moved once, into its place.
std::size_t keptOrder(const std::vector<Dictionary::Entry>& entries, std::uint32_t* order) {
    const std::size_t n = entries.size();
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order, order + n, [&](std::uint32_t a, std::uint32_t b) {
        const int c = entries[a].first.compare(entries[b].first);
        return c < 0 || (c == 0 && a < b);
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n && entries[order[i]].first == entries[order[i + 1]].first) continue;
        order[kept++] = order[i];
    }
    return kept;
}

void moveInOrder(std::vector<Dictionary::Entry>& entries, const std::uint32_t* order, std::size_t count,
                 std::vector<Dictionary::Entry>& into) {
    into.clear();
    into.reserve(count);
    for (std::size_t i = 0; i < count; ++i) into.push_back(std::move(entries[order[i]]));
}

}  // namespace

void Dictionary::finishAppending() {
    if (strictlyAscending(entries_)) return;
    constexpr std::size_t kOnStack = 64;
    std::uint32_t local[kOnStack];
    std::vector<std::uint32_t> large;
    if (entries_.size() > kOnStack) large.resize(entries_.size());
    std::uint32_t* order = large.empty() ? local : large.data();
    const std::size_t kept = keptOrder(entries_, order);
    std::vector<Entry> ordered;
    moveInOrder(entries_, order, kept, ordered);
    entries_ = std::move(ordered);
}

Dictionary DictionaryOrderer::make(std::vector<Dictionary::Entry>&& entries) {
    std::erase_if(entries, [](const Dictionary::Entry& entry) { return entry.second.isNil(); });
    Dictionary dictionary;
    if (strictlyAscending(entries)) {
        dictionary.entries_ = std::move(entries);
        return dictionary;
    }
    const std::size_t n = entries.size();
    const bool sameKeys = keys_.size() == n && std::equal(keys_.begin(), keys_.end(), entries.begin(),
                                                          [](const std::string& key, const Dictionary::Entry& entry) {
                                                              return key == entry.first;
                                                          });
    if (!sameKeys) {
        keys_.resize(n);
        for (std::size_t i = 0; i < n; ++i) keys_[i] = entries[i].first;
        order_.resize(n);
        order_.resize(keptOrder(entries, order_.data()));
        if (order_.size() == n) {
            places_.resize(n);
            for (std::size_t j = 0; j < n; ++j) places_[order_[j]] = static_cast<std::uint32_t>(j);
        }
    }
    // The buffer kept from before serves when it fits the entries without much room to spare (the
    // dictionary keeps it for its life); otherwise a buffer of their size is made.
    const std::size_t count = order_.size();
    if (spare_.capacity() < count || spare_.capacity() - count > count / 4) spare_ = {};
    moveInOrder(entries, order_.data(), count, spare_);
    dictionary.entries_ = std::move(spare_);
    spare_ = std::move(entries);
    spare_.clear();
    return dictionary;
}

Dictionary DictionaryOrderer::makePlaced(std::vector<Dictionary::Entry>&& entries) {
    Dictionary dictionary;
    dictionary.entries_ = std::move(entries);
    return dictionary;
}

bool Dictionary::operator==(const Dictionary& other) const {
    if (entries_.size() != other.entries_.size()) return false;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].first != other.entries_[i].first || !entries_[i].second.isEqual(other.entries_[i].second)) {
            return false;
        }
    }
    return true;
}

// ---- Value ----

Value::Value(const char* s) : storage_(LoneText::make(std::string(s ? s : ""))) {}
Value::Value(std::string s) : storage_(LoneText::make(std::move(s))) {}
Value::Value(Bytes b) : storage_(std::make_shared<Bytes>(std::move(b))) {}
Value::Value(Array a) : storage_(std::make_shared<Array>(std::move(a))) {}
Value::Value(Dictionary d) : storage_(std::make_shared<Dictionary>(std::move(d))) {}

void Value::releaseContainer() noexcept {
    // Shallow trees are released by plain recursion, which costs no walk; once this thread is that
    // many containers deep, the walk below takes over for everything nested further.
    constexpr int kRecursiveLevels = 64;
    thread_local int recursiveLevel = 0;
    if (recursiveLevel < kRecursiveLevels) {
        ++recursiveLevel;
        storage_.emplace<std::monostate>();
        --recursiveLevel;
        return;
    }
    auto ownedAlone = [](const Storage& storage) {
        if (const auto* array = std::get_if<std::shared_ptr<Array>>(&storage)) return array->use_count() == 1;
        if (const auto* dictionary = std::get_if<std::shared_ptr<Dictionary>>(&storage)) {
            return dictionary->use_count() == 1;
        }
        return false;
    };
    // The element at the index of a container, or nullptr past its end.
    auto elementAt = [](Storage& container, std::size_t index) -> Value* {
        if (auto* array = std::get_if<std::shared_ptr<Array>>(&container)) {
            return index < (*array)->size() ? &(**array)[index] : nullptr;
        }
        auto& entries = std::get<std::shared_ptr<Dictionary>>(container)->entries_;
        return index < entries.size() ? &entries[index].second : nullptr;
    };
    if (!ownedAlone(storage_)) return;
    // Depth first: a container the walk reaches is moved out of its parent and destroyed once its own
    // nested containers have been, so every destruction is one level deep and the walk keeps one
    // frame per level (not one entry per element).
    struct Frame {
        Storage container;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{std::move(storage_), 0});
    while (!stack.empty()) {
        Value* element = elementAt(stack.back().container, stack.back().next);
        if (!element) {
            stack.pop_back();
            continue;
        }
        ++stack.back().next;
        if (ownedAlone(element->storage_)) stack.push_back(Frame{std::move(element->storage_), 0});
    }
}

Value Value::null() {
    Value v;
    v.storage_ = NullTag{};
    return v;
}

const std::string& Value::string() const {
    static const auto& empty = *new std::string;
    if (auto p = std::get_if<TextRef>(&storage_)) return (*p)->string();
    return empty;
}

std::string_view Value::textView() const {
    if (auto p = std::get_if<TextRef>(&storage_)) return (*p)->view();
    return {};
}

const Bytes& Value::bytes() const {
    static const auto& empty = *new Bytes;
    if (auto p = std::get_if<std::shared_ptr<Bytes>>(&storage_)) return **p;
    return empty;
}

const Array& Value::array() const {
    static const auto& empty = *new Array;
    if (auto p = std::get_if<std::shared_ptr<Array>>(&storage_)) return **p;
    return empty;
}

const Dictionary& Value::dictionary() const {
    static const auto& empty = *new Dictionary;
    if (auto p = std::get_if<std::shared_ptr<Dictionary>>(&storage_)) return **p;
    return empty;
}

const Ref<Object>& Value::object() const {
    static const Ref<Object>& none = *new Ref<Object>;
    if (auto p = std::get_if<Ref<Object>>(&storage_)) return *p;
    return none;
}

std::string& Value::mutableString() {
    if (!isString()) storage_ = LoneText::make(std::string());
    auto& payload = std::get<TextRef>(storage_);
    // A text of a block counts every holder of the block: it is copied out unless this value holds the
    // block alone.
    if (payload.holderCount() > 1) payload = LoneText::make(std::string(payload->view()));
    return payload->mutableString();
}

Bytes& Value::mutableBytes() {
    if (!isData()) storage_ = std::make_shared<Bytes>();
    return detach(std::get<std::shared_ptr<Bytes>>(storage_));
}

Array& Value::mutableArray() {
    if (!isArray()) storage_ = std::make_shared<Array>();
    return detach(std::get<std::shared_ptr<Array>>(storage_));
}

Dictionary& Value::mutableDictionary() {
    if (!isDictionary()) storage_ = std::make_shared<Dictionary>();
    return detach(std::get<std::shared_ptr<Dictionary>>(storage_));
}

const Value& Value::operator[](std::string_view key) const {
    if (!isDictionary()) return nilValue();
    return dictionary().get(key);
}

const Value& Value::operator[](std::size_t index) const {
    if (!isArray()) return nilValue();
    const Array& a = array();
    return index < a.size() ? a[index] : nilValue();
}

std::size_t Value::count() const {
    switch (type()) {
        case Type::Array: return array().size();
        case Type::Dictionary: return dictionary().size();
        case Type::Data: return bytes().size();
        case Type::String: return utf16Length(textView());
        default: return 0;
    }
}

std::int32_t Value::intValue() const {
    if (const Number* n = number()) return n->intValue();
    if (const Decimal* d = decimal()) return d->intValue();
    if (isString()) return readInt(textView());
    return 0;
}

std::int64_t Value::longLongValue() const {
    if (const Number* n = number()) return n->longLongValue();
    if (const Decimal* d = decimal()) return d->longLongValue();
    if (isString()) return readLongLong(textView());
    return 0;
}

std::uint64_t Value::unsignedLongLongValue() const {
    if (const Number* n = number()) return n->unsignedLongLongValue();
    return static_cast<std::uint64_t>(longLongValue());
}

double Value::doubleValue() const {
    if (const Number* n = number()) return n->doubleValue();
    if (const Decimal* d = decimal()) return d->doubleValue();
    if (isString()) return readDouble(textView());
    return 0;
}

bool Value::boolValue() const {
    if (const Number* n = number()) return n->boolValue();
    if (const Decimal* d = decimal()) return d->boolValue();
    if (isString()) return readBool(textView());
    return false;
}

std::string Value::stringValue() const {
    if (isString()) return std::string(textView());
    if (const Number* n = number()) return n->stringValue();
    if (const Decimal* d = decimal()) return d->stringValue();
    return description();
}

namespace {

// A numeric value as a decimal (callers pass numbers and decimals only).
Decimal numericAsDecimal(const Value& v) {
    if (const Decimal* d = v.decimal()) return *d;
    if (const Number* n = v.number()) return Decimal::fromNumber(*n);
    return Decimal::notANumber();
}

int compareNumeric(const Value& a, const Value& b) {
    const Number* na = a.number();
    const Number* nb = b.number();
    if (na && nb) return na->compare(*nb);
    return numericAsDecimal(a).compare(numericAsDecimal(b));
}

}  // namespace

bool Value::isEqual(const Value& other) const {
    if (isNumeric() && other.isNumeric()) return compareNumeric(*this, other) == 0;
    if (type() != other.type()) return false;
    switch (type()) {
        case Type::Nil:
        case Type::Null: return true;
        case Type::String: {
            // Copies of one text share its payload (a record's value and the parent context's copy of
            // it, say): the same payload is the same text, without reading its bytes.
            const StoredText* mine = std::get<TextRef>(storage_).get();
            return mine == std::get<TextRef>(other.storage_).get() || textView() == other.textView();
        }
        case Type::Data: return bytes() == other.bytes();
        case Type::Date: return std::get<Date>(storage_) == std::get<Date>(other.storage_);
        case Type::Array: {
            const Array& a = array();
            const Array& b = other.array();
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!a[i].isEqual(b[i])) return false;
            }
            return true;
        }
        case Type::Dictionary: return dictionary() == other.dictionary();
        case Type::Object: {
            const Ref<Object>& a = object();
            const Ref<Object>& b = other.object();
            return a == b || a->isEqual(*b);
        }
        default: return false;
    }
}

std::size_t Value::hash() const {
    switch (type()) {
        case Type::Nil: return 0;
        case Type::Null: return 1;
        case Type::Number: return std::get<Number>(storage_).hash();
        case Type::Decimal: return decimal()->hash();
        case Type::String: return std::hash<std::string_view>{}(textView());
        case Type::Data: return std::hash<std::string_view>{}(std::string_view(
                             reinterpret_cast<const char*>(bytes().data()), bytes().size()));
        case Type::Date: return std::hash<double>{}(std::get<Date>(storage_).sinceReferenceDate());
        case Type::Array: return array().size() * 31 + 7;
        case Type::Dictionary: return dictionary().size() * 37 + 11;
        case Type::Object: return object()->hash();
    }
    return 0;
}

int Value::compare(const Value& other) const {
    if (isNumeric() && other.isNumeric()) return compareNumeric(*this, other);
    if (type() != other.type()) return type() < other.type() ? -1 : 1;
    switch (type()) {
        case Type::String: {
            // Code-point order equals bytewise UTF-8 order.
            const int c = textView().compare(other.textView());
            return c < 0 ? -1 : c > 0 ? 1 : 0;
        }
        case Type::Date: return std::get<Date>(storage_).compare(std::get<Date>(other.storage_));
        case Type::Data: {
            const Bytes& a = bytes();
            const Bytes& b = other.bytes();
            return a < b ? -1 : b < a ? 1 : 0;
        }
        case Type::Array: {
            const Array& a = array();
            const Array& b = other.array();
            for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
                if (int c = a[i].compare(b[i])) return c;
            }
            return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
        }
        default: return 0;
    }
}

}  // namespace lv
