// Predicates: conditions on records, built from format strings ("type = %@ AND store = %@") with
// arguments, and evaluated three ways that agree: in memory on an object's values, as SQL text with
// bound values over an entity's table, and as a description in the format language.
//
// Comparison rules (the same in memory and in SQL):
// - nil equals nil only; "= nil" matches a nil value and "!= nil" a non-nil one; an ordering
//   comparison (<, <=, >, >=) with nil on either side is false.
// - numbers, decimals and booleans compare by value across kinds (a decimal 2 equals an integer 2);
//   text compares by code points, dates by time, data bytewise; object IDs by identity. An integer
//   and a double compare exactly, as SQLite compares them (2^53 + 1 is above the double 2^53).
// - NaN (a double, decimal or date of one) equals nothing, is unequal to everything, and is never
//   ordered.
// - values of unrelated kinds (text and a number, say) are never equal, always unequal, and never
//   ordered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class EntityDescription;

// One side of a comparison, or an aggregate of a fetch: a constant, a key path, the evaluated object
// itself (SELF), or a function of other expressions ("sum:", "average:", "min:", "max:", "count:").
class Expression {
public:
    enum class Kind : std::uint8_t { Constant, KeyPath, EvaluatedObject, Function };

    Expression() = default;
    static Expression constant(Value value);
    static Expression keyPath(std::string path);
    static Expression evaluatedObject();
    static Expression function(std::string name, std::vector<Expression> arguments);

    Kind kind() const { return kind_; }
    const Value& constantValue() const { return value_; }
    // The key path, or the function name.
    const std::string& keyPath() const { return text_; }
    const std::string& functionName() const { return text_; }
    const std::vector<Expression>& arguments() const { return arguments_; }

    // "title", "\"News\"", "3", "nil", "SELF", "sum:(price)".
    std::string description() const;

private:
    Kind kind_ = Kind::Constant;
    Value value_;
    std::string text_;
    std::vector<Expression> arguments_;
};

// What a predicate reads: the value under a key path, and the object itself for SELF.
class PredicateSubject {
public:
    virtual ~PredicateSubject() = default;
    virtual Value valueForKeyPath(const std::string& keyPath) const = 0;
    virtual Value evaluatedObject() const = 0;
};

class Predicate : public Object {
public:
    enum class Kind : std::uint8_t { True, False, Comparison, And, Or, Not };
    enum class Operator : std::uint8_t { EqualTo, NotEqualTo, LessThan, LessThanOrEqualTo, GreaterThan, GreaterThanOrEqualTo };

    // Parses a format: key paths, %K (a key path argument), %@ (a value argument), %d %i %ld %lld
    // %hd %u %lu %llu %hu (integers), %f %lf (reals), quoted text ('…' or "…"), numbers, nil/NULL,
    // YES/NO/TRUE/FALSE, SELF; the operators = == != <> < <= =< > >= =>; AND/&&, OR/||, NOT/!,
    // parentheses; TRUEPREDICATE and FALSEPREDICATE. Keywords are case-insensitive; "#name" escapes
    // a key named like a keyword. Failure (syntax, too few or unused arguments) gives nullptr and
    // the Cocoa error kFormattingError with the format and the reason.
    static Ref<Predicate> parse(std::string_view format, const std::vector<Value>& arguments, Ref<Error>* error);
    // Convenience: arguments from C++ values (anything a Value is made from).
    template <class... Args>
    static Ref<Predicate> format(std::string_view fmt, Ref<Error>* error, const Args&... args) {
        return parse(fmt, std::vector<Value>{Value(args)...}, error);
    }

    // The deepest nesting a predicate may have (NOTs, ANDs and ORs, and parentheses in a format). A
    // format nested deeper is refused; a deeper predicate built by the factories evaluates false,
    // fails in a fetch, and is described without its parts, so no walk recurses past this depth.
    static constexpr std::size_t kMaxDepth = 2048;

    static Ref<Predicate> truePredicate();
    static Ref<Predicate> falsePredicate();
    static Ref<Predicate> comparison(Expression lhs, Operator op, Expression rhs);
    static Ref<Predicate> andPredicate(std::vector<Ref<Predicate>> subpredicates);
    static Ref<Predicate> orPredicate(std::vector<Ref<Predicate>> subpredicates);
    static Ref<Predicate> notPredicate(Ref<Predicate> subpredicate);

    Kind kind() const { return kind_; }
    Operator predicateOperator() const { return op_; }
    const Expression& leftExpression() const { return lhs_; }
    const Expression& rightExpression() const { return rhs_; }
    const std::vector<Ref<Predicate>>& subpredicates() const { return subpredicates_; }
    // 1 for a comparison or constant, one more than the deepest subpredicate for AND, OR and NOT.
    std::size_t depth() const { return depth_; }

    bool evaluate(const PredicateSubject& subject) const;
    // On a value: dictionaries are read by key path, objects through key-value access (which raises
    // for keys the object does not have), SELF is the value itself.
    bool evaluateWithObject(const Value& object) const;

    // Every key path the predicate reads, in order of appearance (SELF is not a key path).
    std::vector<std::string> keyPaths() const;

    // "msgId == \"a\"", "sid == 2 AND rank == 3", "type == nil", "(a == 1 OR b == 2) AND c == 3".
    std::string predicateFormat() const;
    std::string description() const override { return predicateFormat(); }

    // SQL over the entity's table: a WHERE expression with "?" placeholders and the values to bind,
    // in order (see the store for how values are bound). Fails (nullptr-like: nothing, with the Cocoa
    // error kObjectStoreError) for a key the entity does not have, a key path of more than one step, and a
    // comparison SQL cannot decide as memory does (a to-many relationship, ordering by transformable
    // values).
    struct SQL {
        std::string where;
        std::vector<Value> bindings;
    };
    std::optional<SQL> sqlForEntity(const EntityDescription& entity, Ref<Error>* error) const;

    // Internal constructor; use the factories.
    Predicate() = default;
    ~Predicate() override;

private:
    Kind kind_ = Kind::True;
    Operator op_ = Operator::EqualTo;
    Expression lhs_;
    Expression rhs_;
    std::vector<Ref<Predicate>> subpredicates_;
    std::size_t depth_ = 1;
};

// The comparison rule shared by memory evaluation and the SQL back end (see the top of this file).
bool comparePredicateValues(const Value& lhs, Predicate::Operator op, const Value& rhs);

// A NaN: a floating-point number, a decimal or a date of one. In a predicate it equals nothing and
// orders with nothing.
bool isNotANumber(const Value& v);

// "==", "!=", "<", "<=", ">", ">=".
std::string_view predicateOperatorText(Predicate::Operator op);

}  // namespace lv
