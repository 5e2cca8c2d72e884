#include "http/xml_parser.h"

#include <expat.h>

#include <algorithm>
#include <limits>

namespace lv {

struct XMLParser::Run {
    XML_Parser expat = nullptr;
    Ref<XMLParserDelegate> delegate;
    XMLParser* owner = nullptr;
    bool aborted = false;
    std::string cdata;
    bool inCDATA = false;
};

namespace {

XMLParser::Run& runOf(void* userData) { return *static_cast<XMLParser::Run*>(userData); }

void onStart(void* userData, const XML_Char* name, const XML_Char** attributes) {
    auto& run = runOf(userData);
    Dictionary attributeMap;
    for (const XML_Char** pair = attributes; pair && pair[0]; pair += 2) attributeMap.set(pair[0], Value(pair[1]));
    if (run.delegate && !run.aborted) run.delegate->didStartElement(*run.owner, name, {}, {}, attributeMap);
}

void onEnd(void* userData, const XML_Char* name) {
    auto& run = runOf(userData);
    if (run.delegate && !run.aborted) run.delegate->didEndElement(*run.owner, name, {}, {});
}

void onCharacters(void* userData, const XML_Char* text, int length) {
    auto& run = runOf(userData);
    if (run.inCDATA) {
        run.cdata.append(text, static_cast<std::size_t>(length));
        return;
    }
    if (run.delegate && !run.aborted) run.delegate->foundCharacters(*run.owner, std::string(text, static_cast<std::size_t>(length)));
}

void onCDATAStart(void* userData) {
    auto& run = runOf(userData);
    run.inCDATA = true;
    run.cdata.clear();
}

void onCDATAEnd(void* userData) {
    auto& run = runOf(userData);
    run.inCDATA = false;
    if (run.delegate && !run.aborted) run.delegate->foundCDATA(*run.owner, Bytes(run.cdata.begin(), run.cdata.end()));
}

void onComment(void* userData, const XML_Char* comment) {
    auto& run = runOf(userData);
    if (run.delegate && !run.aborted) run.delegate->foundComment(*run.owner, comment);
}

void onProcessingInstruction(void* userData, const XML_Char* target, const XML_Char* data) {
    auto& run = runOf(userData);
    if (run.delegate && !run.aborted) run.delegate->foundProcessingInstruction(*run.owner, target, data ? data : "");
}

int codeFor(XML_Error error) {
    switch (error) {
        case XML_ERROR_NO_ELEMENTS: return XMLParserEmptyDocumentError;
        case XML_ERROR_UNCLOSED_TOKEN:
        case XML_ERROR_PARTIAL_CHAR:
        case XML_ERROR_UNCLOSED_CDATA_SECTION: return XMLParserPrematureDocumentEndError;
        case XML_ERROR_INVALID_TOKEN:
        case XML_ERROR_BAD_CHAR_REF: return XMLParserInvalidCharacterError;
        case XML_ERROR_UNDEFINED_ENTITY: return XMLParserUndeclaredEntityError;
        case XML_ERROR_TAG_MISMATCH: return XMLParserTagNameMismatchError;
        case XML_ERROR_JUNK_AFTER_DOC_ELEMENT: return XMLParserNotWellBalancedError;
        default: return XMLParserInternalError;
    }
}

}  // namespace

XMLParser::XMLParser(Bytes data) : data_(std::move(data)) {}

XMLParser::~XMLParser() = default;

bool XMLParser::parse() {
    if (started_) return false;
    started_ = true;
    Run run;
    run.owner = this;
    run.delegate = delegate_.lock();
    run.expat = XML_ParserCreate("UTF-8");
    if (!run.expat) {
        error_ = Error::make(std::string(kXMLParserErrorDomain), XMLParserInternalError);
        return false;
    }
    run_ = &run;
    XML_SetUserData(run.expat, &run);
    XML_SetElementHandler(run.expat, onStart, onEnd);
    XML_SetCharacterDataHandler(run.expat, onCharacters);
    XML_SetCdataSectionHandler(run.expat, onCDATAStart, onCDATAEnd);
    XML_SetCommentHandler(run.expat, onComment);
    XML_SetProcessingInstructionHandler(run.expat, onProcessingInstruction);

    if (run.delegate) run.delegate->parserDidStartDocument(*this);
    // Bodies past expat's int length are fed in pieces.
    constexpr std::size_t piece = std::numeric_limits<int>::max() / 2;
    XML_Status status = XML_STATUS_OK;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(piece, data_.size() - offset);
        const bool last = offset + length == data_.size();
        status = XML_Parse(run.expat, reinterpret_cast<const char*>(data_.data() + offset), static_cast<int>(length),
                           last ? 1 : 0);
        offset += length;
    } while (status == XML_STATUS_OK && offset < data_.size());

    bool ok = status == XML_STATUS_OK;
    if (run.aborted) {
        error_ = Error::make(std::string(kXMLParserErrorDomain), XMLParserDelegateAbortedParseError);
        ok = false;
    } else if (!ok) {
        const XML_Error code = XML_GetErrorCode(run.expat);
        const char* message = XML_ErrorString(code);
        error_ = Error::make(std::string(kXMLParserErrorDomain), codeFor(code),
                             Dictionary{{"NSXMLParserErrorMessage", Value(message ? message : "")},
                                        {"NSXMLParserErrorLineNumber",
                                         Value(static_cast<std::int64_t>(XML_GetCurrentLineNumber(run.expat)))},
                                        {"NSXMLParserErrorColumn",
                                         Value(static_cast<std::int64_t>(XML_GetCurrentColumnNumber(run.expat)))}});
        if (run.delegate) run.delegate->parseErrorOccurred(*this, error_);
    } else if (run.delegate) {
        run.delegate->parserDidEndDocument(*this);
    }
    run_ = nullptr;
    XML_ParserFree(run.expat);
    return ok;
}

void XMLParser::abortParsing() {
    if (!run_ || run_->aborted) return;
    run_->aborted = true;
    XML_StopParser(run_->expat, XML_FALSE);
}

std::int64_t XMLParser::lineNumber() const {
    return run_ ? static_cast<std::int64_t>(XML_GetCurrentLineNumber(run_->expat)) : 0;
}

std::int64_t XMLParser::columnNumber() const {
    return run_ ? static_cast<std::int64_t>(XML_GetCurrentColumnNumber(run_->expat)) : 0;
}

}  // namespace lv
