// For every report of the kit's database modules that may stand beside a secret: a statement
// or a context line can hold keys, passwords and clear texts given as literals, and the server
// log is no place for them. Include after postgres.h; used inside ereport's parentheses.
#ifndef TARN_DB_HIDDEN_STATEMENT_H
#define TARN_DB_HIDDEN_STATEMENT_H

inline int hiddenStatement() {
    errhidestmt(true);
    return errhidecontext(true);
}

#endif  // TARN_DB_HIDDEN_STATEMENT_H
