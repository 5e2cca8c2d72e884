// The predicate format parser (see Predicate::parse).
#include "platform/data/predicate.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

#include "platform/base/format.h"
#include "platform/data/errors.h"

namespace lv {

// ---- parser ----

namespace {

enum class Tok {
    End,
    Identifier,  // key path step or keyword
    EscapedIdentifier,
    String,
    Number,
    Dot,
    LParen,
    RParen,
    Op,
    And,
    Or,
    Not,
    Format,  // a % specifier; text holds the conversion ("@", "K", "d", "ld", "f", …)
};

struct Token {
    Tok kind = Tok::End;
    std::string text;
    Value value;
    std::size_t offset = 0;
};

struct ParseFailure {
    std::string reason;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) {}

    Token next() {
        skipBlanks();
        Token t;
        t.offset = pos_;
        if (pos_ >= text_.size()) return t;
        const char c = text_[pos_];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$') {
            t.kind = Tok::Identifier;
            t.text = identifier();
            if (equalsIgnoringCase(t.text, "AND")) t.kind = Tok::And;
            else if (equalsIgnoringCase(t.text, "OR")) t.kind = Tok::Or;
            else if (equalsIgnoringCase(t.text, "NOT")) t.kind = Tok::Not;
            return t;
        }
        if (c == '#') {
            ++pos_;
            t.kind = Tok::EscapedIdentifier;
            t.text = identifier();
            if (t.text.empty()) throw ParseFailure{"an identifier must follow \"#\""};
            return t;
        }
        if (c == '\'' || c == '"') {
            t.kind = Tok::String;
            t.value = Value(quotedString(c));
            return t;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            ((c == '-' || c == '+' || c == '.') && pos_ + 1 < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_ + 1])))) {
            t.kind = Tok::Number;
            t.value = number();
            return t;
        }
        if (c == '%') {
            ++pos_;
            std::size_t start = pos_;
            while (pos_ < text_.size() && (text_[pos_] == 'l' || text_[pos_] == 'h' || text_[pos_] == 'q')) ++pos_;
            if (pos_ >= text_.size()) throw ParseFailure{"incomplete format specifier"};
            ++pos_;
            t.kind = Tok::Format;
            t.text = std::string(text_.substr(start, pos_ - start));
            return t;
        }
        ++pos_;
        switch (c) {
            case '.': t.kind = Tok::Dot; return t;
            case '(': t.kind = Tok::LParen; return t;
            case ')': t.kind = Tok::RParen; return t;
            case '&':
                if (take('&')) {
                    t.kind = Tok::And;
                    return t;
                }
                break;
            case '|':
                if (take('|')) {
                    t.kind = Tok::Or;
                    return t;
                }
                break;
            case '!':
                t.kind = take('=') ? Tok::Op : Tok::Not;
                t.text = "!=";
                return t;
            case '=':
                t.kind = Tok::Op;
                if (take('=')) t.text = "==";
                else if (take('<')) t.text = "<=";
                else if (take('>')) t.text = ">=";
                else t.text = "==";
                return t;
            case '<':
                t.kind = Tok::Op;
                if (take('=')) t.text = "<=";
                else if (take('>')) t.text = "!=";
                else t.text = "<";
                return t;
            case '>':
                t.kind = Tok::Op;
                t.text = take('=') ? ">=" : ">";
                return t;
            default: break;
        }
        throw ParseFailure{std::string("unexpected character '") + c + "'"};
    }

private:
    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    bool take(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    std::string identifier() {
        std::size_t start = pos_;
        while (pos_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (std::isalnum(c) || c == '_' || c == '$' || c >= 0x80) ++pos_;
            else break;
        }
        return std::string(text_.substr(start, pos_ - start));
    }
    std::string quotedString(char quote) {
        ++pos_;
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != quote) {
            char c = text_[pos_++];
            if (c == '\\' && pos_ < text_.size()) {
                const char e = text_[pos_++];
                switch (e) {
                    case 'n': out += '\n'; break;
                    case 't': out += '\t'; break;
                    case 'r': out += '\r'; break;
                    case '0': out += '\0'; break;
                    default: out += e;
                }
            } else {
                out += c;
            }
        }
        if (pos_ >= text_.size()) throw ParseFailure{"unterminated quoted text"};
        ++pos_;
        return out;
    }
    Value number() {
        std::size_t start = pos_;
        if (text_[pos_] == '-' || text_[pos_] == '+') ++pos_;
        if (text_.substr(pos_).starts_with("0x") || text_.substr(pos_).starts_with("0X")) {
            pos_ += 2;
            std::size_t digits = pos_;
            while (pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
            std::uint64_t v = 0;
            std::from_chars(text_.data() + digits, text_.data() + pos_, v, 16);
            const bool negative = text_[start] == '-';
            return negative ? Value(-static_cast<std::int64_t>(v)) : Value(static_cast<std::int64_t>(v));
        }
        bool real = false;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '.' && pos_ + 1 < text_.size() &&
            std::isdigit(static_cast<unsigned char>(text_[pos_ + 1]))) {
            real = true;
            ++pos_;
            while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            std::size_t save = pos_++;
            if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+')) ++pos_;
            if (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
                real = true;
                while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
            } else {
                pos_ = save;
            }
        }
        std::string literal(text_.substr(start, pos_ - start));
        if (!real) {
            std::int64_t v = 0;
            const char* first = literal.data() + (literal[0] == '+' ? 1 : 0);
            auto [ptr, ec] = std::from_chars(first, literal.data() + literal.size(), v);
            if (ec == std::errc()) return Value(v);
        }
        return Value(std::strtod(literal.c_str(), nullptr));
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

class Parser {
public:
    Parser(std::string_view text, const std::vector<Value>& args) : lexer_(text), args_(args) { advance(); }

    Ref<Predicate> parseAll() {
        auto p = parseOr();
        if (p->depth() > Predicate::kMaxDepth) throw ParseFailure{tooDeep()};
        if (tok_.kind != Tok::End) throw ParseFailure{"unexpected text at offset " + std::to_string(tok_.offset)};
        if (argIndex_ < args_.size()) throw ParseFailure{"more arguments than format specifiers"};
        return p;
    }

private:
    void advance() { tok_ = lexer_.next(); }

    Ref<Predicate> parseOr() {
        std::vector<Ref<Predicate>> parts{parseAnd()};
        while (tok_.kind == Tok::Or) {
            advance();
            parts.push_back(parseAnd());
        }
        return parts.size() == 1 ? parts[0] : Predicate::orPredicate(std::move(parts));
    }

    Ref<Predicate> parseAnd() {
        std::vector<Ref<Predicate>> parts{parseNot()};
        while (tok_.kind == Tok::And) {
            advance();
            parts.push_back(parseNot());
        }
        return parts.size() == 1 ? parts[0] : Predicate::andPredicate(std::move(parts));
    }

    // One level deeper (a NOT or a parenthesis) while alive; past the limit the format is refused
    // before the parser's own recursion can exhaust the stack.
    class Nesting {
    public:
        explicit Nesting(std::size_t& depth) : depth_(depth) {
            if (++depth_ > Predicate::kMaxDepth) throw ParseFailure{tooDeep()};
        }
        ~Nesting() { --depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        std::size_t& depth_;
    };

    Ref<Predicate> parseNot() {
        if (tok_.kind == Tok::Not) {
            Nesting nested(depth_);
            advance();
            return Predicate::notPredicate(parseNot());
        }
        return parsePrimary();
    }

    Ref<Predicate> parsePrimary() {
        if (tok_.kind == Tok::LParen) {
            Nesting nested(depth_);
            advance();
            auto p = parseOr();
            if (tok_.kind != Tok::RParen) throw ParseFailure{"missing \")\""};
            advance();
            return p;
        }
        if (tok_.kind == Tok::Identifier && equalsIgnoringCase(tok_.text, "TRUEPREDICATE")) {
            advance();
            return Predicate::truePredicate();
        }
        if (tok_.kind == Tok::Identifier && equalsIgnoringCase(tok_.text, "FALSEPREDICATE")) {
            advance();
            return Predicate::falsePredicate();
        }
        Expression lhs = parseExpression();
        if (tok_.kind != Tok::Op) throw ParseFailure{"a comparison operator is missing at offset " + std::to_string(tok_.offset)};
        const std::string op = tok_.text;
        advance();
        Expression rhs = parseExpression();
        Predicate::Operator o = Predicate::Operator::EqualTo;
        if (op == "!=") o = Predicate::Operator::NotEqualTo;
        else if (op == "<") o = Predicate::Operator::LessThan;
        else if (op == "<=") o = Predicate::Operator::LessThanOrEqualTo;
        else if (op == ">") o = Predicate::Operator::GreaterThan;
        else if (op == ">=") o = Predicate::Operator::GreaterThanOrEqualTo;
        return Predicate::comparison(std::move(lhs), o, std::move(rhs));
    }

    const Value& nextArgument() {
        if (argIndex_ >= args_.size()) throw ParseFailure{"fewer arguments than format specifiers"};
        return args_[argIndex_++];
    }

    Expression formatArgument(const std::string& spec) {
        const Value& arg = nextArgument();
        const char conversion = spec.back();
        const std::string length = spec.substr(0, spec.size() - 1);
        switch (conversion) {
            case '@': return Expression::constant(arg);
            case 'K':
                if (!arg.isString() || arg.string().empty()) throw ParseFailure{"%K needs a key path text"};
                return Expression::keyPath(arg.string());
            case 'd':
            case 'i': {
                if (!arg.isNumeric()) throw ParseFailure{"%" + spec + " needs a number"};
                const std::int64_t v = arg.longLongValue();
                if (length.empty()) return Expression::constant(Value(static_cast<std::int32_t>(v)));
                if (length == "h") return Expression::constant(Value(static_cast<std::int16_t>(v)));
                if (length == "hh") return Expression::constant(Value(static_cast<std::int8_t>(v)));
                return Expression::constant(Value(v));
            }
            case 'u': {
                if (!arg.isNumeric()) throw ParseFailure{"%" + spec + " needs a number"};
                const std::uint64_t v = arg.unsignedLongLongValue();
                if (length.empty()) return Expression::constant(Value(static_cast<std::uint32_t>(v)));
                if (length == "h") return Expression::constant(Value(static_cast<std::uint16_t>(v)));
                return Expression::constant(Value(v));
            }
            case 'f':
            case 'g':
            case 'e':
                if (!arg.isNumeric()) throw ParseFailure{"%" + spec + " needs a number"};
                return Expression::constant(Value(arg.doubleValue()));
            case 's':
                if (!arg.isString()) throw ParseFailure{"%s needs text"};
                return Expression::constant(arg);
            default: break;
        }
        throw ParseFailure{"unsupported format specifier %" + spec};
    }

    Expression parseExpression() {
        switch (tok_.kind) {
            case Tok::String:
            case Tok::Number: {
                Expression e = Expression::constant(tok_.value);
                advance();
                return e;
            }
            case Tok::Format: {
                Expression e = formatArgument(tok_.text);
                advance();
                return e;
            }
            case Tok::Identifier: {
                const std::string& word = tok_.text;
                if (equalsIgnoringCase(word, "nil") || equalsIgnoringCase(word, "NULL")) {
                    advance();
                    return Expression::constant(Value());
                }
                if (equalsIgnoringCase(word, "YES") || equalsIgnoringCase(word, "TRUE")) {
                    advance();
                    return Expression::constant(Value(true));
                }
                if (equalsIgnoringCase(word, "NO") || equalsIgnoringCase(word, "FALSE")) {
                    advance();
                    return Expression::constant(Value(false));
                }
                if (equalsIgnoringCase(word, "SELF")) {
                    advance();
                    if (tok_.kind != Tok::Dot) return Expression::evaluatedObject();
                    advance();
                    return keyPathFrom(std::string());
                }
                return keyPathFrom(std::string());
            }
            case Tok::EscapedIdentifier: return keyPathFrom(std::string());
            default: break;
        }
        throw ParseFailure{"an expression is missing at offset " + std::to_string(tok_.offset)};
    }

    // Reads "a.b.c" starting at the current identifier.
    Expression keyPathFrom(std::string path) {
        for (;;) {
            if (tok_.kind == Tok::Identifier || tok_.kind == Tok::EscapedIdentifier) {
                path += tok_.text;
            } else if (tok_.kind == Tok::Format && tok_.text == "K") {
                const Value& arg = nextArgument();
                if (!arg.isString() || arg.string().empty()) throw ParseFailure{"%K needs a key path text"};
                path += arg.string();
            } else {
                throw ParseFailure{"a key is missing at offset " + std::to_string(tok_.offset)};
            }
            advance();
            if (tok_.kind != Tok::Dot) break;
            path += '.';
            advance();
        }
        return Expression::keyPath(std::move(path));
    }

    static std::string tooDeep() { return "the predicate nests deeper than " + std::to_string(Predicate::kMaxDepth) + " levels"; }

    Lexer lexer_;
    const std::vector<Value>& args_;
    std::size_t argIndex_ = 0;
    std::size_t depth_ = 0;
    Token tok_;
};

}  // namespace

Ref<Predicate> Predicate::parse(std::string_view formatText, const std::vector<Value>& arguments, Ref<Error>* error) {
    try {
        Parser parser(formatText, arguments);
        return parser.parseAll();
    } catch (const ParseFailure& failure) {
        setError(error, Error::make(std::string(kCocoaErrorDomain), kFormattingError,
                                    Dictionary{{std::string(kLocalizedDescriptionKey),
                                                Value(lv::format("Unable to parse the format string \"%@\"", std::string(formatText)))},
                                               {std::string(kLocalizedFailureReasonErrorKey), Value(failure.reason)}}));
        return nullptr;
    }
}

}  // namespace lv
