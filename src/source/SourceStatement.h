#pragma once

#include <QList>
#include <QString>

namespace vf::source {

// A lexical piece of a source statement (Jet SQL as the phases write it).
struct Token {
    enum Kind { Space, Word, Identifier, String, Parameter, Number, Symbol };
    Kind kind = Symbol;
    QString text;  // as written
    QString value; // identifier without brackets, string without quotes, parameter without ':'
};

QList<Token> tokenize(const QString& sql);

struct TableReference {
    QString name;
    QString alias;
    int token = -1; // index of the name's token
};

struct ColumnReference {
    QString qualifier; // table name or alias; empty when the column stands alone
    QString column;
};

// What a statement reads: the tables of its FROM clauses, the columns it filters or joins on
// (WHERE and ON clauses) and the columns it orders by.
struct StatementShape {
    QList<TableReference> tables;
    QList<ColumnReference> filterColumns;
    QList<ColumnReference> orderColumns;
};

StatementShape shapeOf(const QList<Token>& tokens);

} // namespace vf::source
