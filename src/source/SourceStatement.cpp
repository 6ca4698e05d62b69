#include "source/SourceStatement.h"

#include <QSet>

namespace vf::source {

namespace {

bool isWordStart(QChar c) { return c.isLetter() || c == QLatin1Char('_'); }
bool isWordPart(QChar c) { return c.isLetterOrNumber() || c == QLatin1Char('_'); }

const QSet<QString>& keywords()
{
    static const QSet<QString> words = {
        QStringLiteral("select"), QStringLiteral("from"),    QStringLiteral("where"),  QStringLiteral("order"),
        QStringLiteral("by"),     QStringLiteral("group"),   QStringLiteral("having"), QStringLiteral("join"),
        QStringLiteral("inner"),  QStringLiteral("left"),    QStringLiteral("right"),  QStringLiteral("outer"),
        QStringLiteral("cross"),  QStringLiteral("on"),      QStringLiteral("as"),     QStringLiteral("union"),
        QStringLiteral("and"),    QStringLiteral("or"),      QStringLiteral("not"),    QStringLiteral("in"),
        QStringLiteral("is"),     QStringLiteral("null"),    QStringLiteral("like"),   QStringLiteral("between"),
        QStringLiteral("asc"),    QStringLiteral("desc"),    QStringLiteral("distinct"), QStringLiteral("top"),
        QStringLiteral("limit"),  QStringLiteral("exists"),  QStringLiteral("all"),    QStringLiteral("true"),
        QStringLiteral("false"),  QStringLiteral("collate"), QStringLiteral("escape"),
    };
    return words;
}

bool isKeyword(const Token& t) { return t.kind == Token::Word && keywords().contains(t.text.toLower()); }
bool isKeyword(const Token& t, const char* word) { return t.kind == Token::Word && t.text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0; }
bool isName(const Token& t) { return t.kind == Token::Identifier || (t.kind == Token::Word && !isKeyword(t)); }
bool isSymbol(const Token& t, char c) { return t.kind == Token::Symbol && t.text == QLatin1Char(c); }

} // namespace

QList<Token> tokenize(const QString& sql)
{
    QList<Token> tokens;
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype start = i;
        const QChar c = sql[i];
        Token t;
        if (c.isSpace()) {
            while (i < n && sql[i].isSpace())
                ++i;
            t.kind = Token::Space;
        } else if (c == QLatin1Char('[') || c == QLatin1Char('`')) {
            const QChar close = c == QLatin1Char('[') ? QLatin1Char(']') : QLatin1Char('`');
            const qsizetype end = sql.indexOf(close, i + 1);
            i = end < 0 ? n : end + 1;
            t.kind = Token::Identifier;
            t.value = sql.mid(start + 1, (end < 0 ? n : end) - start - 1);
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            // Jet writes text between single or double quotes; a doubled quote stands for one.
            ++i;
            while (i < n) {
                if (sql[i] == c) {
                    if (i + 1 < n && sql[i + 1] == c) {
                        t.value.append(c);
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                t.value.append(sql[i++]);
            }
            t.kind = Token::String;
        } else if (c == QLatin1Char(':') && i + 1 < n && isWordStart(sql[i + 1])) {
            ++i;
            while (i < n && isWordPart(sql[i]))
                ++i;
            t.kind = Token::Parameter;
            t.value = sql.mid(start + 1, i - start - 1);
        } else if (isWordStart(c)) {
            while (i < n && isWordPart(sql[i]))
                ++i;
            t.kind = Token::Word;
            t.value = sql.mid(start, i - start);
        } else if (c.isDigit()) {
            while (i < n && (sql[i].isLetterOrNumber() || sql[i] == QLatin1Char('.')))
                ++i;
            t.kind = Token::Number;
        } else {
            ++i;
            t.kind = Token::Symbol;
        }
        t.text = sql.mid(start, i - start);
        if (t.kind == Token::Word)
            t.value = t.text;
        tokens.append(t);
    }
    return tokens;
}

StatementShape shapeOf(const QList<Token>& all)
{
    // Work on the significant tokens, remembering their place in the full list.
    QList<int> at;
    for (int i = 0; i < all.size(); ++i)
        if (all[i].kind != Token::Space)
            at.append(i);
    const auto tok = [&](int k) -> const Token& {
        static const Token none;
        return k >= 0 && k < at.size() ? all[at[k]] : none;
    };
    const int count = at.size();

    StatementShape shape;
    enum Mode { None, Filter, Order } mode = None;
    int k = 0;
    const auto isClauseEnd = [&](const Token& t) {
        return isKeyword(t, "where") || isKeyword(t, "order") || isKeyword(t, "group") || isKeyword(t, "having")
            || isKeyword(t, "union") || isKeyword(t, "join") || isKeyword(t, "inner") || isKeyword(t, "left")
            || isKeyword(t, "right") || isKeyword(t, "cross") || isKeyword(t, "from") || isKeyword(t, "select");
    };

    while (k < count) {
        const Token& t = tok(k);
        if (isKeyword(t, "from") || isKeyword(t, "join")) {
            mode = None;
            ++k;
            // A list of tables: name [AS] [alias], separated by commas.
            while (k < count && isName(tok(k))) {
                TableReference table;
                table.name = tok(k).value;
                table.token = at[k];
                ++k;
                if (isKeyword(tok(k), "as"))
                    ++k;
                if (k < count && isName(tok(k)) && !isSymbol(tok(k + 1), '.')) {
                    table.alias = tok(k).value;
                    ++k;
                }
                shape.tables.append(table);
                if (isSymbol(tok(k), ','))
                    ++k;
                else
                    break;
            }
            continue;
        }
        if (isKeyword(t, "where") || isKeyword(t, "on") || isKeyword(t, "having")) {
            mode = Filter;
            ++k;
            continue;
        }
        if (isKeyword(t, "order") && isKeyword(tok(k + 1), "by")) {
            mode = Order;
            k += 2;
            continue;
        }
        if (isKeyword(t, "group") || isKeyword(t, "select") || isKeyword(t, "union") || isClauseEnd(t)) {
            mode = None;
            ++k;
            continue;
        }
        if (mode != None && isName(t)) {
            ColumnReference column;
            if (isSymbol(tok(k + 1), '.') && isName(tok(k + 2))) {
                column.qualifier = t.value;
                column.column = tok(k + 2).value;
                k += 3;
            } else if (isSymbol(tok(k + 1), '(')) {
                ++k; // a function
                continue;
            } else {
                column.column = t.value;
                ++k;
            }
            (mode == Filter ? shape.filterColumns : shape.orderColumns).append(column);
            continue;
        }
        ++k;
    }
    return shape;
}

} // namespace vf::source
