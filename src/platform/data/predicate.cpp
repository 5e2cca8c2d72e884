#include "platform/data/predicate.h"

#include <algorithm>
#include <cctype>
#include <cmath>

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

}  // namespace lv
