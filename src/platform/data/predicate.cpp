#include "platform/data/predicate.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform/base/format.h"
#include "platform/data/errors.h"
#include "platform/data/object_id.h"
#include "platform/runtime/runtime.h"

namespace lv {

// ---- Expression ----

Expression Expression::constant(Value value) {
    Expression e;
    e.kind_ = Kind::Constant;
    e.value_ = std::move(value);
    return e;
}

Expression Expression::keyPath(std::string path) {
    Expression e;
    e.kind_ = Kind::KeyPath;
    e.text_ = std::move(path);
    return e;
}

Expression Expression::evaluatedObject() {
    Expression e;
    e.kind_ = Kind::EvaluatedObject;
    return e;
}

Expression Expression::function(std::string name, std::vector<Expression> arguments) {
    Expression e;
    e.kind_ = Kind::Function;
    e.text_ = std::move(name);
    e.arguments_ = std::move(arguments);
    return e;
}

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

std::string constantDescription(const Value& v) {
    switch (v.type()) {
        case Value::Type::Nil: return "nil";
        case Value::Type::Null: return "<null>";
        case Value::Type::String: return quoted(v.string());
        case Value::Type::Number:
        case Value::Type::Decimal: return v.stringValue();
        case Value::Type::Date: return format("CAST(%f, \"Date\")", v.date()->sinceReferenceDate());
        case Value::Type::Array: {
            std::string out = "{";
            bool first = true;
            for (const Value& item : v.array()) {
                out += first ? "" : ", ";
                out += constantDescription(item);
                first = false;
            }
            return out + "}";
        }
        default: return v.description();
    }
}

}  // namespace

std::string Expression::description() const {
    switch (kind_) {
        case Kind::Constant: return constantDescription(value_);
        case Kind::KeyPath: {
            // Steps named like keywords are escaped so that the text parses back to the same key path.
            static const char* const reserved[] = {"AND", "OR", "NOT", "NIL", "NULL", "YES", "NO", "TRUE", "FALSE",
                                                   "SELF", "TRUEPREDICATE", "FALSEPREDICATE"};
            std::string out;
            std::size_t start = 0;
            while (start <= text_.size()) {
                std::size_t end = text_.find('.', start);
                if (end == std::string::npos) end = text_.size();
                std::string step = text_.substr(start, end - start);
                std::string upper = step;
                for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                bool escape = false;
                for (const char* word : reserved) escape = escape || upper == word;
                if (start) out += '.';
                out += (escape ? "#" : "") + step;
                start = end + 1;
            }
            return out;
        }
        case Kind::EvaluatedObject: return "SELF";
        case Kind::Function: {
            std::string out = text_;
            if (out.empty() || out.back() != ':') out += ':';
            out += "(";
            for (std::size_t i = 0; i < arguments_.size(); ++i) out += (i ? ", " : "") + arguments_[i].description();
            return out + ")";
        }
    }
    return {};
}

// ---- comparison rule ----

namespace {

enum class ValueClass { Nil, Numeric, String, Date, Data, Other };

ValueClass classOfPredicateValue(const Value& v) {
    switch (v.type()) {
        case Value::Type::Nil: return ValueClass::Nil;
        case Value::Type::Number:
        case Value::Type::Decimal: return ValueClass::Numeric;
        case Value::Type::String: return ValueClass::String;
        case Value::Type::Date: return ValueClass::Date;
        case Value::Type::Data: return ValueClass::Data;
        default: return ValueClass::Other;
    }
}

// An integral number against a double that is no NaN, exactly (as SQLite compares an INTEGER with a
// REAL): a double beyond 2^53 stands for one integer, and the integers beside it differ from it.
int compareIntegerWithDouble(const Number& integer, double d) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    const bool negative = !integer.isUnsigned() && integer.longLongValue() < 0;
    const double whole = std::trunc(d);
    // The fraction decides between an integer and the whole part it equals.
    const int byFraction = d > whole ? -1 : d < whole ? 1 : 0;
    if (whole < 0) {
        if (!negative) return 1;
        if (whole < -kTwoTo63) return 1;
        const std::int64_t v = integer.longLongValue();
        const auto w = static_cast<std::int64_t>(whole);
        return v < w ? -1 : v > w ? 1 : byFraction;
    }
    if (negative) return -1;
    if (whole >= 2 * kTwoTo63) return -1;
    const std::uint64_t u = integer.unsignedLongLongValue();
    const auto w = static_cast<std::uint64_t>(whole);
    return u < w ? -1 : u > w ? 1 : byFraction;
}

// Two numbers, integers against doubles exactly; other numeric values as Value::compare orders them.
int compareNumbers(const Value& lhs, const Value& rhs) {
    const Number* a = lhs.number();
    const Number* b = rhs.number();
    if (a && b && a->isFloatingPoint() != b->isFloatingPoint()) {
        return a->isFloatingPoint() ? -compareIntegerWithDouble(*b, a->doubleValue()) : compareIntegerWithDouble(*a, b->doubleValue());
    }
    return lhs.compare(rhs);
}

}  // namespace

bool isNotANumber(const Value& v) {
    if (const Number* n = v.number()) return n->isFloatingPoint() && std::isnan(n->doubleValue());
    if (const Decimal* d = v.decimal()) return d->isNaN();
    if (v.isDate()) return std::isnan(v.date()->sinceReferenceDate());
    return false;
}

std::string_view predicateOperatorText(Predicate::Operator op) {
    switch (op) {
        case Predicate::Operator::EqualTo: return "==";
        case Predicate::Operator::NotEqualTo: return "!=";
        case Predicate::Operator::LessThan: return "<";
        case Predicate::Operator::LessThanOrEqualTo: return "<=";
        case Predicate::Operator::GreaterThan: return ">";
        case Predicate::Operator::GreaterThanOrEqualTo: return ">=";
    }
    return "==";
}

bool comparePredicateValues(const Value& lhs, Predicate::Operator op, const Value& rhs) {
    using Op = Predicate::Operator;
    const ValueClass a = classOfPredicateValue(lhs);
    const ValueClass b = classOfPredicateValue(rhs);
    if (a == ValueClass::Nil || b == ValueClass::Nil) {
        const bool bothNil = a == b;
        if (op == Op::EqualTo) return bothNil;
        if (op == Op::NotEqualTo) return !bothNil;
        return false;
    }
    // NaN (a number, decimal or date of one) equals nothing and orders with nothing, as in SQL.
    if (isNotANumber(lhs) || isNotANumber(rhs)) return op == Op::NotEqualTo;
    if (a == ValueClass::Numeric && b == ValueClass::Numeric) {
        const int c = compareNumbers(lhs, rhs);
        switch (op) {
            case Op::EqualTo: return c == 0;
            case Op::NotEqualTo: return c != 0;
            case Op::LessThan: return c < 0;
            case Op::LessThanOrEqualTo: return c <= 0;
            case Op::GreaterThan: return c > 0;
            case Op::GreaterThanOrEqualTo: return c >= 0;
        }
        return false;
    }
    if (op == Op::EqualTo) return a == b && lhs.isEqual(rhs);
    if (op == Op::NotEqualTo) return !(a == b && lhs.isEqual(rhs));
    if (a != b || a == ValueClass::Other) return false;
    const int c = lhs.compare(rhs);
    switch (op) {
        case Op::LessThan: return c < 0;
        case Op::LessThanOrEqualTo: return c <= 0;
        case Op::GreaterThan: return c > 0;
        case Op::GreaterThanOrEqualTo: return c >= 0;
        default: return false;
    }
}

// ---- factories ----

Ref<Predicate> Predicate::truePredicate() {
    auto p = makeRef<Predicate>();
    p->kind_ = Kind::True;
    return p;
}

Ref<Predicate> Predicate::falsePredicate() {
    auto p = makeRef<Predicate>();
    p->kind_ = Kind::False;
    return p;
}

Ref<Predicate> Predicate::comparison(Expression lhs, Operator op, Expression rhs) {
    auto p = makeRef<Predicate>();
    p->kind_ = Kind::Comparison;
    p->lhs_ = std::move(lhs);
    p->op_ = op;
    p->rhs_ = std::move(rhs);
    return p;
}

namespace {

std::size_t depthOver(const std::vector<Ref<Predicate>>& subpredicates) {
    std::size_t deepest = 0;
    for (const auto& p : subpredicates) deepest = std::max(deepest, p ? p->depth() : 1);
    return deepest + 1;
}

}  // namespace

Ref<Predicate> Predicate::andPredicate(std::vector<Ref<Predicate>> subpredicates) {
    auto p = makeRef<Predicate>();
    p->kind_ = Kind::And;
    p->subpredicates_ = std::move(subpredicates);
    p->depth_ = depthOver(p->subpredicates_);
    return p;
}

Ref<Predicate> Predicate::orPredicate(std::vector<Ref<Predicate>> subpredicates) {
    auto p = makeRef<Predicate>();
    p->kind_ = Kind::Or;
    p->subpredicates_ = std::move(subpredicates);
    p->depth_ = depthOver(p->subpredicates_);
    return p;
}

Ref<Predicate> Predicate::notPredicate(Ref<Predicate> subpredicate) {
    auto p = makeRef<Predicate>();
    p->kind_ = Kind::Not;
    p->subpredicates_.push_back(std::move(subpredicate));
    p->depth_ = depthOver(p->subpredicates_);
    return p;
}

Predicate::~Predicate() {
    // Parts no one else holds are taken apart here, one at a time, rather than each destroying its
    // own parts: a chain of any length never recurses.
    std::vector<Ref<Predicate>> parts = std::move(subpredicates_);
    while (!parts.empty()) {
        Ref<Predicate> part = std::move(parts.back());
        parts.pop_back();
        if (!part || part.use_count() != 1) continue;
        for (auto& sub : part->subpredicates_) parts.push_back(std::move(sub));
        part->subpredicates_.clear();
    }
}

// ---- evaluation ----

namespace {

Value evaluateExpression(const Expression& e, const PredicateSubject& subject) {
    switch (e.kind()) {
        case Expression::Kind::Constant: return e.constantValue();
        case Expression::Kind::KeyPath: return subject.valueForKeyPath(e.keyPath());
        case Expression::Kind::EvaluatedObject: return subject.evaluatedObject();
        case Expression::Kind::Function: return Value();
    }
    return Value();
}

class ValueSubject : public PredicateSubject {
public:
    explicit ValueSubject(const Value& v) : value_(v) {}
    Value valueForKeyPath(const std::string& keyPath) const override { return lv::valueForKeyPath(value_, keyPath); }
    Value evaluatedObject() const override { return value_; }

private:
    const Value& value_;
};

}  // namespace

bool Predicate::evaluate(const PredicateSubject& subject) const {
    if (depth_ > kMaxDepth) return false;
    switch (kind_) {
        case Kind::True: return true;
        case Kind::False: return false;
        case Kind::Comparison:
            return comparePredicateValues(evaluateExpression(lhs_, subject), op_, evaluateExpression(rhs_, subject));
        case Kind::And:
            for (const auto& p : subpredicates_) {
                if (!p->evaluate(subject)) return false;
            }
            return true;
        case Kind::Or:
            for (const auto& p : subpredicates_) {
                if (p->evaluate(subject)) return true;
            }
            return false;
        case Kind::Not: return subpredicates_.empty() || !subpredicates_[0]->evaluate(subject);
    }
    return false;
}

bool Predicate::evaluateWithObject(const Value& object) const { return evaluate(ValueSubject(object)); }

std::vector<std::string> Predicate::keyPaths() const {
    std::vector<std::string> out;
    if (depth_ > kMaxDepth) return out;
    if (kind_ == Kind::Comparison) {
        if (lhs_.kind() == Expression::Kind::KeyPath) out.push_back(lhs_.keyPath());
        if (rhs_.kind() == Expression::Kind::KeyPath) out.push_back(rhs_.keyPath());
    }
    for (const auto& p : subpredicates_) {
        auto sub = p->keyPaths();
        out.insert(out.end(), sub.begin(), sub.end());
    }
    return out;
}

// ---- description ----

std::string Predicate::predicateFormat() const {
    if (depth_ > kMaxDepth) return "<a predicate nested deeper than " + std::to_string(kMaxDepth) + " levels>";
    switch (kind_) {
        case Kind::True: return "TRUEPREDICATE";
        case Kind::False: return "FALSEPREDICATE";
        case Kind::Comparison:
            return lhs_.description() + " " + std::string(predicateOperatorText(op_)) + " " + rhs_.description();
        case Kind::And:
        case Kind::Or: {
            std::string out;
            const char* joiner = kind_ == Kind::And ? " AND " : " OR ";
            for (std::size_t i = 0; i < subpredicates_.size(); ++i) {
                const auto& p = subpredicates_[i];
                const bool wrap = (p->kind_ == Kind::And || p->kind_ == Kind::Or) && p->subpredicates_.size() > 1;
                if (i) out += joiner;
                out += wrap ? "(" + p->predicateFormat() + ")" : p->predicateFormat();
            }
            return out;
        }
        case Kind::Not: {
            if (subpredicates_.empty()) return "NOT TRUEPREDICATE";
            const auto& p = subpredicates_[0];
            const bool wrap = (p->kind_ == Kind::And || p->kind_ == Kind::Or) && p->subpredicates_.size() > 1;
            return "NOT " + (wrap ? "(" + p->predicateFormat() + ")" : p->predicateFormat());
        }
    }
    return {};
}

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
