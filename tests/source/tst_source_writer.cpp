// The source connection on Jet 4 files made by the Access file writer: every type, nulls, long
// memos, exact dates, and the statements that the record phases run.

#include "base/Errors.h"
#include "source/SourceConnection.h"

#include "mdbwriter/MdbWriter.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace vf;
using mdbwriter::Column;
using mdbwriter::ColumnType;
using mdbwriter::Value;

namespace {

struct TableSpec {
    std::string name;
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows;
};

QString writeDatabase(const QTemporaryDir& dir, const std::vector<TableSpec>& tables)
{
    const QString path = dir.filePath(QStringLiteral("V3.mdb"));
    mdbwriter::Writer writer(path.toStdString());
    for (const TableSpec& table : tables) {
        writer.beginTable(table.name, table.columns);
        for (const auto& row : table.rows)
            writer.addRow(row);
    }
    writer.finish();
    return path;
}

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

std::string utf8(const QString& text) { return text.toStdString(); }

quint32 le32At(const QByteArray& bytes, qsizetype at) { return qFromLittleEndian<quint32>(bytes.constData() + at); }
void put32At(QByteArray& bytes, qsizetype at, quint32 value) { qToLittleEndian(value, bytes.data() + at); }
void put16At(QByteArray& bytes, qsizetype at, quint16 value) { qToLittleEndian(value, bytes.data() + at); }

// Where the row of a long-value pointer (page << 8 | row) starts in a Jet 4 file.
qsizetype longValueRowAt(const QByteArray& file, quint32 pgRow)
{
    const qsizetype page = qsizetype(pgRow >> 8) * 4096;
    return page + (qFromLittleEndian<quint16>(file.constData() + page + 14 + 2 * (pgRow & 0xff)) & 0x1fff);
}

QList<int> column(SourceQuery& query, const QString& name)
{
    QList<int> values;
    for (; !query.eof(); query.next())
        values.append(query.intValue(name));
    return values;
}

} // namespace

class SourceWriterTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void everyTypeAndNullComesBackExactly()
    {
        const QString text = QStringLiteral("Hélène Çâlïn € Ωμέγα 中文 \"quoted\"");
        const QString memo = QStringLiteral("ligne 1\r\nligne 2\rligne 3\nfin é");
        const std::string name = "TYPES ÉTÉ";
        const QString path = writeDatabase(*m_dir, {{name,
            {{"OCTET", ColumnType::Byte}, {"COURT", ColumnType::Integer}, {"LONG", ColumnType::Long},
             {"OUI NON", ColumnType::Boolean}, {"SIMPLE", ColumnType::Single}, {"DOUBLE", ColumnType::Double},
             {"MONNAIE", ColumnType::Currency}, {"DATE", ColumnType::DateTime}, {"NOM", ColumnType::Text, 50},
             {"DONNEES", ColumnType::Memo}},
            {{std::int64_t(255), std::int64_t(-32768), std::int64_t(-2147483647 - 1), true, 1.5, 3.141592653589793,
              1234567.8901, std::string("2004-03-07T14:05:00.123"), utf8(text), utf8(memo)},
             {Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{}},
             {std::int64_t(0), std::int64_t(32767), std::int64_t(2147483647), false, -0.25, -1e-300, -0.0001,
              mdbwriter::DateTime{-1.25}, std::string(), std::string()}}}});

        SourceConnection connection;
        connection.open(path);
        SourceQuery query(connection, QStringLiteral("SELECT * FROM [types été]"));
        query.open();
        QCOMPARE(query.recordCount(), 3);

        QCOMPARE(query.value(QStringLiteral("octet")), QVariant(qint32(255)));
        QCOMPARE(query.value(QStringLiteral("court")), QVariant(qint32(-32768)));
        QCOMPARE(query.value(QStringLiteral("long")), QVariant(qint32(-2147483647 - 1)));
        QCOMPARE(query.value(QStringLiteral("oui non")), QVariant(true));
        QCOMPARE(query.value(QStringLiteral("simple")), QVariant(1.5));
        QCOMPARE(query.value(QStringLiteral("double")), QVariant(3.141592653589793));
        QCOMPARE(query.value(QStringLiteral("monnaie")), QVariant(1234567.8901));
        QCOMPARE(query.value(QStringLiteral("date")), QVariant(utc(2004, 3, 7, 14, 5, 0, 123)));
        QCOMPARE(query.value(QStringLiteral("nom")), QVariant(text));
        QCOMPARE(query.value(QStringLiteral("donnees")), QVariant(memo));

        query.next();
        for (const char* nullable : {"OCTET", "COURT", "LONG", "SIMPLE", "DOUBLE", "MONNAIE", "DATE", "NOM", "DONNEES"})
            QVERIFY2(query.isNull(QLatin1String(nullable)), nullable);
        QCOMPARE(query.value(QStringLiteral("OUI NON")), QVariant(false)); // Jet keeps no null boolean
        QCOMPARE(query.intValue(QStringLiteral("LONG")), 0);
        QCOMPARE(query.textValue(QStringLiteral("NOM")), QString());
        QCOMPARE(query.dateTimeValue(QStringLiteral("DATE")), utc(1899, 12, 30));

        query.next();
        QCOMPARE(query.intValue(QStringLiteral("LONG")), 2147483647);
        QCOMPARE(query.value(QStringLiteral("SIMPLE")), QVariant(-0.25));
        QCOMPARE(query.value(QStringLiteral("DOUBLE")), QVariant(-1e-300));
        QCOMPARE(query.value(QStringLiteral("MONNAIE")), QVariant(-0.0001));
        QCOMPARE(query.dateTimeValue(QStringLiteral("DATE")), utc(1899, 12, 29, 6, 0));
        // An empty text is not a null one.
        QVERIFY(!query.isNull(QStringLiteral("NOM")));
        QCOMPARE(query.value(QStringLiteral("NOM")), QVariant(QString()));
        QVERIFY(!query.isNull(QStringLiteral("DONNEES")));
        query.next();
        QVERIFY(query.eof());
    }

    void longMemosAreReadWhole()
    {
        // Compressible text, text that needs two bytes a character, and lengths around the
        // limits of a row and of a long-value page.
        QString latin;
        while (latin.size() < 1000000)
            latin += QStringLiteral("Compte rendu de consultation n° %1, tension 12/8.\r\n").arg(latin.size());
        QString greek;
        while (greek.size() < 1000000)
            greek += QStringLiteral("Ωμέγα € %1 ").arg(greek.size());
        const QList<QString> memos = {latin, greek, QString(2000, QLatin1Char('a')), QString(4100, QChar(0x20AC)),
                                      QString(8000, QLatin1Char('z')), QStringLiteral("court")};
        TableSpec table{"NOTES", {{"CODE", ColumnType::Long}, {"DONNEES", ColumnType::Memo}}, {}};
        for (int i = 0; i < memos.size(); ++i)
            table.rows.push_back({std::int64_t(i), utf8(memos[i])});
        const QString path = writeDatabase(*m_dir, {table});

        SourceConnection connection;
        connection.open(path);
        SourceQuery query(connection, QStringLiteral("SELECT DONNEES FROM NOTES WHERE CODE=:code"));
        for (int i = 0; i < memos.size(); ++i) {
            query.setParam(QStringLiteral("code"), i);
            query.open();
            QCOMPARE(query.recordCount(), 1);
            const QString read = query.textValue(QStringLiteral("DONNEES"));
            QCOMPARE(read.size(), memos[i].size());
            QVERIFY2(read == memos[i], qPrintable(QStringLiteral("memo %1 differs").arg(i)));
        }
    }

    void datesAreExactToTheMillisecond()
    {
        struct Case {
            Value stored;
            QDateTime expected;
        };
        const QList<Case> cases = {
            {mdbwriter::DateTime{2.75}, utc(1900, 1, 1, 18, 0)},
            {mdbwriter::DateTime{-1.25}, utc(1899, 12, 29, 6, 0)},
            {mdbwriter::DateTime{-1.75}, utc(1899, 12, 29, 18, 0)},
            {std::string("0100-01-01T00:00:00.000"), utc(100, 1, 1)},
            {std::string("0100-06-15T12:30:45.678"), utc(100, 6, 15, 12, 30, 45, 678)},
            {std::string("1899-12-29T23:59:59.999"), utc(1899, 12, 29, 23, 59, 59, 999)},
            {std::string("1899-12-30T00:00:00.001"), utc(1899, 12, 30, 0, 0, 0, 1)},
            {std::string("1900-01-01T00:00:00.000"), utc(1900, 1, 1)},
            {std::string("1900-02-28T23:59:59.500"), utc(1900, 2, 28, 23, 59, 59, 500)},
            {std::string("2099-12-31T23:59:59.001"), utc(2099, 12, 31, 23, 59, 59, 1)},
            {std::string("9999-12-31T23:59:59.999"), utc(9999, 12, 31, 23, 59, 59, 999)},
        };
        TableSpec table{"DATES", {{"CODE", ColumnType::Long}, {"DATE", ColumnType::DateTime}}, {}};
        for (int i = 0; i < cases.size(); ++i)
            table.rows.push_back({std::int64_t(i), cases[i].stored});
        const QString path = writeDatabase(*m_dir, {table});

        SourceConnection connection;
        connection.open(path);
        SourceQuery query(connection, QStringLiteral("SELECT * FROM DATES"));
        query.open();
        for (int i = 0; i < cases.size(); ++i, query.next())
            QCOMPARE(query.dateTimeValue(QStringLiteral("DATE")), cases[i].expected);

        // Ordered by date, the moments come in the order of time, before 1900 too.
        SourceQuery ordered(connection, QStringLiteral("SELECT * FROM DATES ORDER BY [DATE]"));
        ordered.open();
        QDateTime previous;
        for (; !ordered.eof(); ordered.next()) {
            const QDateTime current = ordered.dateTimeValue(QStringLiteral("DATE"));
            QVERIFY2(!previous.isValid() || previous < current, qPrintable(current.toString(Qt::ISODateWithMs)));
            previous = current;
        }
        // A date parameter finds its row to the millisecond.
        SourceQuery exact(connection, QStringLiteral("SELECT CODE FROM DATES WHERE [DATE]=:d"));
        exact.setParam(QStringLiteral("d"), utc(100, 6, 15, 12, 30, 45, 678));
        exact.open();
        QCOMPARE(exact.recordCount(), 1);
        QCOMPARE(exact.intValue(QStringLiteral("CODE")), 4);
    }

    void thePhasesStatementsReturnTheirRowsInOrder()
    {
        const auto date = [](const char* text) { return Value{std::string(text)}; };
        const QString path = writeDatabase(*m_dir, {
            {"GLB MEDECIN", {{"CODE MEDECIN", ColumnType::Long}, {"NOM", ColumnType::Text, 50}},
             {{std::int64_t(3), std::string("Élise")}, {std::int64_t(1), std::string("Jean")}, {std::int64_t(2), Value{}}}},
            {"REF FONCTION", {{"CODE FONCTION", ColumnType::Long}, {"LIBELLE", ColumnType::Text, 50}},
             {{std::int64_t(7), std::string("Cardiologue")}, {std::int64_t(8), std::string("Dermatologue")}}},
            {"ANT ANTECEDENT", {{"CODE ANTECEDENT", ColumnType::Long}, {"LIBELLE", ColumnType::Text, 50}},
             {{std::int64_t(1), std::string("Diabète")}, {std::int64_t(2), std::string("Asthme")}}},
            {"ANT ANTECEDENT PATIENT",
             {{"CODE ANTECEDENT PATIENT", ColumnType::Long}, {"CODE PATIENT", ColumnType::Long},
              {"CODE ANTECEDENT", ColumnType::Long}, {"DATE", ColumnType::DateTime}},
             {{std::int64_t(10), std::int64_t(2), std::int64_t(1), date("2001-01-01T00:00:00")},
              {std::int64_t(11), std::int64_t(1), std::int64_t(2), date("2003-05-05T00:00:00")},
              {std::int64_t(12), std::int64_t(1), std::int64_t(1), date("1999-02-02T00:00:00")},
              {std::int64_t(13), std::int64_t(1), std::int64_t(9), date("2000-01-01T00:00:00")},  // unknown kind
              {std::int64_t(14), std::int64_t(2), std::int64_t(2), date("1998-01-01T00:00:00")},  // no comment
              {std::int64_t(15), std::int64_t(3), std::int64_t(1), date("2010-01-01T00:00:00")}}},
            {"ANT COMMENTAIRE ANTECEDENT PATIENT",
             {{"CODE ANTECEDENT PATIENT", ColumnType::Long}, {"DONNEES", ColumnType::Memo}},
             {{std::int64_t(15), Value{}}, {std::int64_t(12), std::string("c12a")}, {std::int64_t(10), std::string("c10")},
              {std::int64_t(11), std::string("c11")}, {std::int64_t(12), std::string("c12b")}, {std::int64_t(13), std::string("c13")}}},
            {"CON CONSULTATION",
             {{"CODETITRE", ColumnType::Long}, {"CODE PATIENT", ColumnType::Long}, {"DATE", ColumnType::DateTime},
              {"CODE MEDECIN", ColumnType::Long}, {"DONNEES", ColumnType::Memo}},
             {{std::int64_t(100), std::int64_t(2), date("2004-03-07T10:00:00"), std::int64_t(1), std::string("Toux")},
              {std::int64_t(101), std::int64_t(1), date("2004-03-08T09:30:00"), std::int64_t(1), Value{}},
              {std::int64_t(102), std::int64_t(1), date("2004-03-07T16:45:00"), std::int64_t(2), std::string("Fièvre")}}},
            {"CON SOUS CONSULTATION",
             {{"CodeLigne", ColumnType::Long}, {"CodeTitre", ColumnType::Long}, {"niveau", ColumnType::Integer},
              {"DONNEES", ColumnType::Memo}},
             {{std::int64_t(3), std::int64_t(100), std::int64_t(1), std::string("c")},
              {std::int64_t(1), std::int64_t(100), std::int64_t(0), std::string("a")},
              {std::int64_t(4), std::int64_t(101), std::int64_t(0), std::string("x")},
              {std::int64_t(2), std::int64_t(100), std::int64_t(2), std::string("b")}}},
            {"SYN FICHE SYNTHESE",
             {{"CodeTitre", ColumnType::Long}, {"CODE PATIENT", ColumnType::Long}, {"DATE", ColumnType::DateTime}},
             {{std::int64_t(201), std::int64_t(5), date("2005-01-01T08:00:00")},
              {std::int64_t(200), std::int64_t(4), date("2005-01-02T08:00:00")},
              {std::int64_t(202), std::int64_t(4), date("2005-01-01T08:00:00")}}},
        });

        SourceConnection connection;
        connection.open(path);

        SourceQuery users(connection, QStringLiteral("Select * from [GLB MEDECIN]\nOrder by [CODE MEDECIN]"));
        users.open();
        QCOMPARE(users.recordCount(), 3);
        QCOMPARE(column(users, QStringLiteral("CODE MEDECIN")), (QList<int>{1, 2, 3}));

        SourceQuery speciality(connection);
        speciality.setSql(QStringLiteral("SELECT LIBELLE FROM [REF FONCTION] WHERE [CODE FONCTION]=:code"));
        speciality.setParam(QStringLiteral("code"), 8);
        speciality.open();
        QCOMPARE(speciality.textValue(QStringLiteral("LIBELLE")), QStringLiteral("Dermatologue"));
        speciality.close();
        speciality.setParam(QStringLiteral("code"), 9);
        speciality.open();
        QVERIFY(speciality.eof());

        SourceQuery history(connection, QStringLiteral(
            "select AP.[CODE ANTECEDENT PATIENT], AP.[CODE PATIENT], AP.[CODE ANTECEDENT], AP.[DATE],\n"
            "  AA.[LIBELLE],\n  AC.[DONNEES]\nfrom [ANT ANTECEDENT PATIENT] AP,\n  [ANT ANTECEDENT] AA,\n"
            "  [ANT COMMENTAIRE ANTECEDENT PATIENT] AC\nWHERE AA.[CODE ANTECEDENT] = AP.[CODE ANTECEDENT]\n"
            "  AND AP.[CODE ANTECEDENT PATIENT] = AC.[CODE ANTECEDENT PATIENT]\nORDER BY AP.[CODE PATIENT], AP.[DATE]"));
        history.open();
        QCOMPARE(history.recordCount(), 5);
        QList<int> items;
        QStringList labels;
        QStringList comments;
        for (; !history.eof(); history.next()) {
            items.append(history.intValue(QStringLiteral("CODE ANTECEDENT PATIENT")));
            labels.append(history.textValue(QStringLiteral("LIBELLE")));
            comments.append(history.isNull(QStringLiteral("DONNEES")) ? QStringLiteral("<null>") : history.textValue(QStringLiteral("DONNEES")));
        }
        QCOMPARE(items, (QList<int>{12, 12, 11, 10, 15}));
        QCOMPARE(labels, (QStringList{QStringLiteral("Diabète"), QStringLiteral("Diabète"), QStringLiteral("Asthme"),
                                      QStringLiteral("Diabète"), QStringLiteral("Diabète")}));
        QCOMPARE((QStringList{comments[0], comments[1]}).size(), 2);
        QVERIFY(comments.mid(0, 2).contains(QStringLiteral("c12a")) && comments.mid(0, 2).contains(QStringLiteral("c12b")));
        QCOMPARE(comments.mid(2), (QStringList{QStringLiteral("c11"), QStringLiteral("c10"), QStringLiteral("<null>")}));
        // Each join is a lookup through an index, not a scan of a table for every row.
        QVERIFY2(history.queryPlan().count(QStringLiteral("SCAN")) <= 1, qPrintable(history.queryPlan()));

        SourceQuery consultations(connection, QStringLiteral("select *\nfrom  [CON CONSULTATION]\nORDER BY [CODE PATIENT], [DATE]"));
        consultations.open();
        SourceQuery details(connection);
        details.setSql(QStringLiteral("SELECT * FROM [CON SOUS CONSULTATION] WHERE [CodeTitre]=:codetitre ORDER BY CodeLigne"));
        QList<int> titles;
        QStringList texts;
        for (; !consultations.eof(); consultations.next()) {
            titles.append(consultations.intValue(QStringLiteral("CODETITRE")));
            QVERIFY(consultations.dateTimeValue(QStringLiteral("Date")).isValid());
            QCOMPARE(consultations.intValue(QStringLiteral("code medecin")) > 0, true);
            details.close();
            details.setParam(QStringLiteral("codetitre"), consultations.intValue(QStringLiteral("CODETITRE")));
            details.openUncounted(); // as the phases read their detail lines, row by row
            QCOMPARE(details.recordCount(), 0);
            QString text = consultations.textValue(QStringLiteral("DONNEES"));
            for (; !details.eof(); details.next())
                text += QLatin1Char('|') + QString(details.intValue(QStringLiteral("niveau")), QLatin1Char('.'))
                    + details.textValue(QStringLiteral("DONNEES")) + QLatin1Char('#') + details.textValue(QStringLiteral("CodeLigne"));
            texts.append(text);
        }
        QCOMPARE(titles, (QList<int>{102, 101, 100}));
        QCOMPARE(texts, (QStringList{QStringLiteral("Fièvre"), QStringLiteral("|x#4"), QStringLiteral("Toux|a#1|..b#2|.c#3")}));
        const QString detailPlan = details.queryPlan();
        QVERIFY2(detailPlan.contains(QStringLiteral("USING INDEX")) && !detailPlan.contains(QStringLiteral("SCAN"))
                     && !detailPlan.contains(QStringLiteral("TEMP B-TREE")),
                 qPrintable(detailPlan));

        SourceQuery sheets(connection, QStringLiteral("select *\nfrom  [SYN FICHE SYNTHESE]\nORDER BY [code patient], [date]"));
        sheets.open();
        QCOMPARE(column(sheets, QStringLiteral("codetitre")), (QList<int>{202, 200, 201}));
    }

    void readingALargeTableInPieces()
    {
        // More rows than are read ahead: the count is known at once and every row comes once.
        // Every third row is deleted, left on its page as Access leaves it until the file is
        // compacted, and the table's count is that of the live rows: none of them comes back.
        const QString path = m_dir->filePath(QStringLiteral("V3.mdb"));
        mdbwriter::Writer writer(path.toStdString());
        writer.beginTable("CON SOUS CONSULTATION",
                          {{"CodeLigne", ColumnType::Long}, {"CodeTitre", ColumnType::Long}, {"DONNEES", ColumnType::Memo}});
        const int rows = 20000;
        QList<int> live;
        for (int i = 0; i < rows; ++i) {
            const int code = rows - i;
            const std::vector<Value> row = {std::int64_t(code), std::int64_t(code / 4), std::string(i % 7 == 0 ? 3000 : 20, 'x')};
            if (code % 3 == 0) {
                writer.addDeletedRow(row);
            } else {
                writer.addRow(row);
                live.prepend(code);
            }
        }
        writer.finish();
        SourceConnection connection;
        connection.open(path);
        SourceQuery query(connection, QStringLiteral("SELECT CodeLigne FROM [CON SOUS CONSULTATION] ORDER BY CodeLigne"));
        query.open();
        QCOMPARE(query.recordCount(), live.size());
        QCOMPARE(column(query, QStringLiteral("CodeLigne")), live);
    }

    void longValuesThatLoopOrShareTheirPagesAreRefused_data()
    {
        // A memo on a chain of five long-value pages, and ten short memos kept inside their rows.
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a chain that comes back on itself") << QStringLiteral("loop") << QStringLiteral("revient sur une page déjà lue");
        QTest::newRow("a length larger than the file") << QStringLiteral("length") << QStringLiteral("plus grande que le fichier");
        QTest::newRow("a row that adds nothing") << QStringLiteral("empty row") << QStringLiteral("ne progresse plus");
        QTest::newRow("values sharing one chain") << QStringLiteral("shared") << QStringLiteral("occupent plus de place que le fichier entier");
    }

    void longValuesThatLoopOrShareTheirPagesAreRefused()
    {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        const std::string longMemo(9000, 'a'); // 18,000 bytes in the file
        TableSpec table{"NOTES", {{"CODE", ColumnType::Long}, {"DONNEES", ColumnType::Memo}}, {{std::int64_t(0), longMemo}}};
        for (int i = 1; i <= 10; ++i)
            table.rows.push_back({std::int64_t(i), std::string("x")});
        const QString path = writeDatabase(*m_dir, {table});
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();

        const qsizetype header = bytes.indexOf(QByteArray::fromHex("50460000")); // 18,000, a chain
        QVERIFY(header > 0);
        const quint32 first = le32At(bytes, header + 4);
        qsizetype last = longValueRowAt(bytes, first);
        while (le32At(bytes, last) != 0)
            last = longValueRowAt(bytes, le32At(bytes, last));
        if (damage == QLatin1String("loop")) {
            put32At(bytes, last, first);
            put32At(bytes, header, quint32(bytes.size() - 1));
        } else if (damage == QLatin1String("length")) {
            put32At(bytes, header, 0x00fffff0); // 16 MB, the longest a chain can declare
        } else if (damage == QLatin1String("empty row")) {
            put16At(bytes, qsizetype(first >> 8) * 4096 + 14, 4096 - 4);
        } else {
            // Each short memo's header ("x" inside the row) made to point at the long chain.
            const QByteArray inlineX = QByteArray::fromHex("020000800000000000000000") + QByteArray("x\0", 2);
            int patched = 0;
            for (qsizetype at = bytes.indexOf(inlineX); at >= 0; at = bytes.indexOf(inlineX, at + 1), ++patched) {
                put32At(bytes, at, 18000);
                put32At(bytes, at + 4, first);
            }
            QCOMPARE(patched, 10);
        }
        file.seek(0);
        file.write(bytes);
        file.close();

        SourceConnection connection;
        connection.open(path);
        QString message;
        try {
            SourceQuery query(connection, QStringLiteral("SELECT * FROM NOTES"));
            query.open();
        } catch (const Error& e) {
            message = e.message();
        }
        QVERIFY2(message.contains(QStringLiteral("le fichier est incomplet ou endommagé (")) && message.contains(reason)
                     && message.contains(QStringLiteral("[NOTES]")),
                 qPrintable(message));
        // The failed copy left nothing of its size behind.
        qint64 staged = 0;
        for (QDirIterator it(connection.stagingFolder(), QDir::Files); it.hasNext();)
            staged += it.nextFileInfo().size();
        QVERIFY2(staged < bytes.size(), qPrintable(QString::number(staged)));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(SourceWriterTest)
#include "tst_source_writer.moc"
