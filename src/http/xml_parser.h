// An event-driven XML parser over a body of bytes (on expat): parse() reports the document to a
// delegate as it reads it. This is what the XML-parser response serializer hands back, set up but not
// yet run.
//
// Threads: a parser belongs to the thread that runs parse(); the delegate is called on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class XMLParser;

// The parser's error domain and the codes it reports.
inline constexpr std::string_view kXMLParserErrorDomain = "NSXMLParserErrorDomain";
enum XMLParserErrorCode : int {
    XMLParserInternalError = 1,
    XMLParserEmptyDocumentError = 4,
    XMLParserPrematureDocumentEndError = 5,
    XMLParserInvalidCharacterError = 9,
    XMLParserUndeclaredEntityError = 26,
    XMLParserTagNameMismatchError = 76,
    XMLParserNotWellBalancedError = 85,
    XMLParserDelegateAbortedParseError = 512,
};

// Every method is optional (the default does nothing). Calls arrive in document order.
class XMLParserDelegate {
public:
    virtual ~XMLParserDelegate() = default;
    virtual void parserDidStartDocument(XMLParser&) {}
    virtual void parserDidEndDocument(XMLParser&) {}
    // Names as written ("a:b" stays "a:b"); namespaceURI and qualifiedName are empty (namespace
    // processing is off). Attributes by name.
    virtual void didStartElement(XMLParser&, const std::string& /*elementName*/, const std::string& /*namespaceURI*/,
                                 const std::string& /*qualifiedName*/, const Dictionary& /*attributes*/) {}
    virtual void didEndElement(XMLParser&, const std::string& /*elementName*/, const std::string& /*namespaceURI*/,
                               const std::string& /*qualifiedName*/) {}
    // Text between tags, in one or more pieces, entities resolved.
    virtual void foundCharacters(XMLParser&, const std::string& /*text*/) {}
    // The content of a CDATA section as bytes (UTF-8).
    virtual void foundCDATA(XMLParser&, const Bytes& /*block*/) {}
    virtual void foundComment(XMLParser&, const std::string& /*comment*/) {}
    virtual void foundProcessingInstruction(XMLParser&, const std::string& /*target*/, const std::string& /*data*/) {}
    // Once, when the document is malformed (not after abortParsing()).
    virtual void parseErrorOccurred(XMLParser&, const Ref<Error>& /*error*/) {}
};

class XMLParser : public Object {
public:
    explicit XMLParser(Bytes data);

    const Bytes& data() const { return data_; }
    // The delegate is held weakly.
    void setDelegate(const Ref<XMLParserDelegate>& delegate) { delegate_ = delegate; }
    Ref<XMLParserDelegate> delegate() const { return delegate_.lock(); }

    // Reads the whole body, reporting to the delegate. True when the document was well formed and the
    // delegate did not abort; a parser runs once (later calls answer false).
    bool parse();
    // From a delegate call: stops at once; parse() then answers false with the aborted error.
    void abortParsing();
    // The error that ended parsing, nullptr after success or before parse().
    const Ref<Error>& parserError() const { return error_; }
    // Position of the event being reported (1-based line, 0-based column), 0 outside parse().
    std::int64_t lineNumber() const;
    std::int64_t columnNumber() const;

    ~XMLParser() override;

    // Internal: the state of one parse() run, reached from expat's callbacks.
    struct Run;

private:
    Bytes data_;
    Weak<XMLParserDelegate> delegate_;
    Ref<Error> error_;
    Run* run_ = nullptr;  // during parse() only
    bool started_ = false;
};

}  // namespace lv
