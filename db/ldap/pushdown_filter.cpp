// Which conditions go to the server, and their LDAP form.
#include "pushdown_filter.h"

#include <cstring>
#include <utility>

extern "C" {
#include "catalog/pg_collation.h"
#include "catalog/pg_operator.h"
#include "catalog/pg_type.h"
#include "lib/stringinfo.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/lsyscache.h"
}

namespace quenby {
namespace {

Node* withoutRelabel(Node* node) {
    while (node != nullptr && IsA(node, RelabelType)) {
        node = reinterpret_cast<Node*>(reinterpret_cast<RelabelType*>(node)->arg);
    }
    return node;
}

// The attribute of a column of the scanned table, or null when the node is no such column.
const char* attributeOf(Node* node, const PushableColumns& columns, bool plainTextOnly) {
    node = withoutRelabel(node);
    if (node == nullptr || !IsA(node, Var)) return nullptr;
    const Var* var = reinterpret_cast<Var*>(node);
    if (var->varno != static_cast<int>(columns.relid) || var->varlevelsup != 0 ||
        var->varattno < 1 || var->varattno > columns.count) {
        return nullptr;
    }
    const int index = var->varattno - 1;
    if (plainTextOnly && !columns.isPlainText[index]) return nullptr;
    return columns.attribute[index];
}

// A non-null text constant.
const Const* textConstant(Node* node) {
    node = withoutRelabel(node);
    if (node == nullptr || !IsA(node, Const)) return nullptr;
    const Const* constant = reinterpret_cast<Const*>(node);
    if (constant->constisnull) return nullptr;
    if (constant->consttype != TEXTOID && constant->consttype != VARCHAROID) return nullptr;
    return constant;
}

// SQL equality that also holds between the bytes: a nondeterministic collation could make
// 'a' equal 'A' or 'á' where the server's rule does not.
bool comparesBytes(Oid collation) {
    return !OidIsValid(collation) || get_collation_isdeterministic(collation);
}

// A value the server's matching rules could treat differently from SQL at its edges: spaces
// the server folds away, and the empty value no directory string holds.
bool safeValue(const char* value, size_t length) {
    return length > 0 && value[0] != ' ' && value[length - 1] != ' ';
}

void appendEquality(StringInfo out, const char* attribute, const char* value, size_t length) {
    appendStringInfo(out, "(%s=", attribute);
    appendFilterValue(out, value, length);
    appendStringInfoChar(out, ')');
}

// The literal prefix of a LIKE pattern that is a prefix followed by '%' only ("ab\%c%"
// gives "ab%c"); false for other patterns. *exact tells a pattern without '%' at all.
bool likePrefix(const char* pattern, StringInfo prefix, bool* exact) {
    const char* at = pattern;
    for (; *at != '\0' && *at != '%'; ++at) {
        if (*at == '_') return false;
        if (*at == '\\' && *++at == '\0') return false;
        appendStringInfoChar(prefix, *at);
    }
    *exact = *at == '\0';
    for (; *at == '%'; ++at) {
    }
    return *at == '\0';
}

bool appendOperator(StringInfo out, const OpExpr* op, const PushableColumns& columns) {
    if (list_length(op->args) != 2 || !comparesBytes(op->inputcollid)) return false;
    Node* left = static_cast<Node*>(linitial(op->args));
    Node* right = static_cast<Node*>(lsecond(op->args));
    const bool equality = op->opno == TextEqualOperator;
    if (equality && attributeOf(left, columns, true) == nullptr) std::swap(left, right);
    const char* attribute = attributeOf(left, columns, true);
    const Const* constant = textConstant(right);
    if (attribute == nullptr || constant == nullptr) return false;
    const text* value = DatumGetTextPP(constant->constvalue);
    const char* bytes = VARDATA_ANY(value);
    const size_t length = VARSIZE_ANY_EXHDR(value);
    if (equality) {
        if (!safeValue(bytes, length)) return false;
        appendEquality(out, attribute, bytes, length);
        return true;
    }
    if (op->opno != OID_TEXT_LIKE_OP) return false;
    StringInfoData prefix;
    initStringInfo(&prefix);
    bool exact = false;
    if (!likePrefix(text_to_cstring(value), &prefix, &exact) ||
        !safeValue(prefix.data, prefix.len)) {
        return false;
    }
    appendStringInfo(out, "(%s=", attribute);
    appendFilterValue(out, prefix.data, prefix.len);
    appendStringInfoString(out, exact ? ")" : "*)");
    return true;
}

// column = ANY('{...}') and column IN (...): one equality per non-null element, ORed.
bool appendAnyOf(StringInfo out, const ScalarArrayOpExpr* op, const PushableColumns& columns) {
    if (!op->useOr || op->opno != TextEqualOperator || !comparesBytes(op->inputcollid)) {
        return false;
    }
    const char* attribute = attributeOf(static_cast<Node*>(linitial(op->args)), columns, true);
    Node* array = withoutRelabel(static_cast<Node*>(lsecond(op->args)));
    if (attribute == nullptr || array == nullptr || !IsA(array, Const)) return false;
    const Const* constant = reinterpret_cast<Const*>(array);
    if (constant->constisnull) return false;
    Datum* elements = nullptr;
    bool* nulls = nullptr;
    int count = 0;
    deconstruct_array(DatumGetArrayTypeP(constant->constvalue), TEXTOID, -1, false, TYPALIGN_INT,
                      &elements, &nulls, &count);
    StringInfoData items;
    initStringInfo(&items);
    int written = 0;
    for (int i = 0; i < count; ++i) {
        if (nulls[i]) continue;
        const text* value = DatumGetTextPP(elements[i]);
        if (!safeValue(VARDATA_ANY(value), VARSIZE_ANY_EXHDR(value))) return false;
        appendEquality(&items, attribute, VARDATA_ANY(value), VARSIZE_ANY_EXHDR(value));
        ++written;
    }
    if (written == 0) return false;
    appendStringInfoString(out, written == 1 ? items.data : psprintf("(|%s)", items.data));
    return true;
}

bool appendCondition(StringInfo out, Node* node, const PushableColumns& columns);

// AND keeps the items it can write (a weaker filter still holds every row); OR needs them all.
bool appendBoolean(StringInfo out, const BoolExpr* expr, const PushableColumns& columns) {
    if (expr->boolop == NOT_EXPR) return false;
    const bool isAnd = expr->boolop == AND_EXPR;
    StringInfoData items;
    initStringInfo(&items);
    int written = 0;
    ListCell* cell;
    foreach (cell, expr->args) {
        if (appendCondition(&items, static_cast<Node*>(lfirst(cell)), columns)) {
            ++written;
        } else if (!isAnd) {
            return false;
        }
    }
    if (written == 0) return false;
    if (written == 1) {
        appendStringInfoString(out, items.data);
    } else {
        appendStringInfo(out, "(%c%s)", isAnd ? '&' : '|', items.data);
    }
    return true;
}

// IS NOT NULL: the attribute is present. (IS NULL stays here: an attribute the server hides
// from the search's filter but not from its reading would drop rows.)
bool appendPresence(StringInfo out, const NullTest* test, const PushableColumns& columns) {
    if (test->nulltesttype != IS_NOT_NULL || test->argisrow) return false;
    const char* attribute = attributeOf(reinterpret_cast<Node*>(test->arg), columns, false);
    if (attribute == nullptr) return false;
    appendStringInfo(out, "(%s=*)", attribute);
    return true;
}

bool appendCondition(StringInfo out, Node* node, const PushableColumns& columns) {
    switch (nodeTag(node)) {
        case T_OpExpr:
            return appendOperator(out, reinterpret_cast<OpExpr*>(node), columns);
        case T_ScalarArrayOpExpr:
            return appendAnyOf(out, reinterpret_cast<ScalarArrayOpExpr*>(node), columns);
        case T_BoolExpr:
            return appendBoolean(out, reinterpret_cast<BoolExpr*>(node), columns);
        case T_NullTest:
            return appendPresence(out, reinterpret_cast<NullTest*>(node), columns);
        default:
            return false;
    }
}

}  // namespace

void appendFilterValue(StringInfo out, const char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            appendStringInfo(out, "\\%02x", static_cast<unsigned char>(c));
        } else {
            appendStringInfoChar(out, c);
        }
    }
}

const char* pushableItems(List* clauses, const PushableColumns& columns) {
    StringInfoData items;
    initStringInfo(&items);
    ListCell* cell;
    foreach (cell, clauses) {
        StringInfoData item;
        initStringInfo(&item);
        if (appendCondition(&item, static_cast<Node*>(lfirst(cell)), columns)) {
            appendStringInfoString(&items, item.data);
        }
        pfree(item.data);
    }
    return items.data;
}

const char* scanFilter(const char* tableFilter, const char* pushedItems) {
    if (pushedItems[0] == '\0') return tableFilter;
    return psprintf("(&%s%s)", tableFilter, pushedItems);
}

}  // namespace quenby
