// Files written by mdbwriter, read back through libmdb and the mdbtools commands.
#include "MdbWriter.h"
#include "ReadBack.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

using namespace mdbwriter;

namespace {

// Every character of the Basic Multilingual Plane but the surrogates and U+0000, in a scrambled order,
// U+FEFF not first (a text starting with it cannot hold the characters whose low byte is 0).
QString everyBmpCharacter()
{
    QString text;
    for (uint c = 1; c <= 0xFFFF; ++c)
        if (c < 0xD800 || c > 0xDFFF)
            text += QChar(char16_t(c));
    for (qsizetype i = 0; i < text.size(); i += 7)
        std::swap(text[i], text[(i * 7919) % text.size()]);
    if (text.startsWith(QChar(0xFEFF)))
        std::swap(text[0], text[1]);
    return text;
}

} // namespace

class TestMdbWriter : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void everyTypeRoundTrips()
    {
        const QString path = m_dir.filePath("types.mdb");
        const std::string json = R"({"tables": [
          {"name": "GLB MEDECIN",
           "columns": [{"name": "CODE MEDECIN", "type": "long"},
                       {"name": "NOM", "type": "text", "size": 50},
                       {"name": "DONNEES", "type": "memo"},
                       {"name": "DATE", "type": "datetime"},
                       {"name": "ACTIF", "type": "boolean"},
                       {"name": "ÂGE", "type": "byte"},
                       {"name": "NIVEAU", "type": "integer"},
                       {"name": "POIDS", "type": "single"},
                       {"name": "TAILLE", "type": "double"},
                       {"name": "HONORAIRES", "type": "currency"}],
           "rows": [[1, "DUPONT Hélène €", "ligne 1\r\nligne 2", "2004-03-07T14:05:00.000", true, 200, -5, 1.5, 3.25, 12.34],
                    [2, null, null, null, null, null, null, null, null, null],
                    [-2147483648, "", "", "1999-12-31T23:59:59", false, 0, 32767, -0.25, 1e-300, -922337203685],
                    [2147483647, "ŒUVRE çà où «guillemets»", "seul\rretour\nligne", "2004-03-07T14:05:00.5", 1, 255, -32768, 0.1, 0.1, 0.0001]]},
          {"name": "Table vide", "columns": [{"name": "X", "type": "text"}], "rows": []}
        ]})";
        writeFromJson(json, path.toStdString());

        const ReadBack back = readTable(path, "GLB MEDECIN");
        QCOMPARE(back.columns, (QStringList{"CODE MEDECIN", "NOM", "DONNEES", "DATE", "ACTIF", "ÂGE", "NIVEAU",
                                            "POIDS", "TAILLE", "HONORAIRES"}));
        QCOMPARE(back.rows.size(), 4);
        QCOMPARE(back.rows[0], (QStringList{"1", "DUPONT Hélène €", "ligne 1\r\nligne 2", "2004-03-07 14:05:00", "1",
                                            "200", "-5", "1.5", "3.25", "12.3400"}));
        QCOMPARE(back.rows[1], (QStringList{"2", "", "", "", "0", "", "", "", "", ""}));
        QCOMPARE(back.rows[2].mid(0, 7),
                 (QStringList{"-2147483648", "", "", "1999-12-31 23:59:59", "0", "0", "32767"}));
        QCOMPARE(back.rows[2][7].toFloat(), -0.25f);
        QCOMPARE(back.rows[2][8].toDouble(), 1e-300);
        QCOMPARE(back.rows[2][9], QString("-922337203685.0000"));
        QCOMPARE(back.rows[3].mid(0, 7), (QStringList{"2147483647", "ŒUVRE çà où «guillemets»", "seul\rretour\nligne",
                                                      "2004-03-07 14:05:00", "1", "255", "-32768"}));
        QCOMPARE(back.rows[3][7].toFloat(), 0.1f);
        QCOMPARE(back.rows[3][8].toDouble(), 0.1);
        QCOMPARE(back.rows[3][9], QString("0.0001"));

        QCOMPARE(readTable(path, "Table vide").rows.size(), 0);

        QCOMPARE(run("mdb-ver", {path}).trimmed(), QString("JET4"));
        QCOMPARE(run("mdb-tables", {"-1", path}).split('\n', Qt::SkipEmptyParts),
                 (QStringList{"GLB MEDECIN", "Table vide"}));
        const QString schema = run("mdb-schema", {path});
        QVERIFY(schema.contains("[NOM]\t\t\tText (50)"));
        QVERIFY(schema.contains("[CODE MEDECIN]\t\t\tLong Integer"));
        QVERIFY(schema.contains("[HONORAIRES]\t\t\tCurrency"));
        QCOMPARE(run("mdb-export", {"-T", "%Y-%m-%d %H:%M:%S", path, "GLB MEDECIN"}).section('\n', 0, 3),
                 QString("CODE MEDECIN,NOM,DONNEES,DATE,ACTIF,ÂGE,NIVEAU,POIDS,TAILLE,HONORAIRES\n"
                         "1,\"DUPONT Hélène €\",\"ligne 1\r\nligne 2\",\"2004-03-07 14:05:00\",1,200,-5,1.5,3.25,12.3400\n"
                         "2,,,,0,,,,,"));
    }

    // Short memos stay in their row; longer ones go to one long-value page or to a chain of pages.
    void memosOfEverySize_data()
    {
        QTest::addColumn<QString>("memo");
        QTest::newRow("empty") << QString("");
        QTest::newRow("inline") << QString("Antécédents :\r\n- HTA\r\n- diabète");
        QTest::newRow("one page") << QString(1500, QChar(u'é'));
        QTest::newRow("two pages exactly") << QString(4076, QChar(u'x'));
        QTest::newRow("chain with tail") << QString(5000, QChar(u'€'));
        QTest::newRow("every BMP character") << everyBmpCharacter();
        QTest::newRow("starting with U+FEFF") << QString(QChar(0xFEFF)) + "début € \r\n" + QChar(0xFEFF) + " ﬁn";
        QString mega;
        for (int i = 0; mega.size() < 1'000'000; ++i)
            mega += QString("ligne %1 : tension 12/8, poids 72 kg\r\n").arg(i);
        QTest::newRow("1 MB") << mega;
    }

    void memosOfEverySize()
    {
        QFETCH(QString, memo);
        const QString path = m_dir.filePath("memo.mdb");
        {
            Writer writer(path.toStdString());
            writer.beginTable("NOTES", {{"ID", ColumnType::Long}, {"DONNEES", ColumnType::Memo}, {"FIN", ColumnType::Text, 10}});
            for (int i = 0; i < 3; ++i) {
                const std::vector<Value> row = {std::int64_t(i), memo.toStdString(), std::string("fin")};
                writer.addRow(row);
            }
            writer.finish();
        }
        const ReadBack back = readTable(path, "NOTES");
        QCOMPARE(back.rows.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(back.rows[i][0], QString::number(i));
            QCOMPARE(back.rows[i][1].size(), memo.size());
            QVERIFY(back.rows[i][1] == memo);
            QCOMPARE(back.rows[i][2], QString("fin"));
        }
        // mdb-export cuts memos at about 200,000 bytes.
        if (memo.toUtf8().size() < 190'000) {
            const QString csv = run("mdb-export", {path, "NOTES"});
            QString expected = "ID,DONNEES,FIN\n";
            for (int i = 0; i < 3; ++i)
                expected += QString("%1,%2,\"fin\"\n").arg(i).arg(memo.isEmpty() ? QString() : "\"" + QString(memo).replace("\"", "\"\"") + "\"");
            QVERIFY(csv == expected);
        }
    }

    void manyRowsSpanManyPages()
    {
        const QString path = m_dir.filePath("many.mdb");
        constexpr int rows = 200'000;
        {
            Writer writer(path.toStdString());
            writer.beginTable("CON CONSULTATION", {{"CODE CONSULTATION", ColumnType::Long},
                                                   {"CODE PATIENT", ColumnType::Long},
                                                   {"MOTIF", ColumnType::Text, 60},
                                                   {"DATE", ColumnType::DateTime},
                                                   {"DONNEES", ColumnType::Memo}});
            std::vector<Value> row(5);
            for (int i = 0; i < rows; ++i) {
                row[0] = std::int64_t(i);
                row[1] = i % 7 == 0 ? Value() : Value(std::int64_t(i / 20));
                row[2] = "Motif n°" + std::to_string(i);
                row[3] = DateTime{38000.0 + i / 100};
                row[4] = i % 1000 == 0 ? std::string(3000, 'z') : "note " + std::to_string(i);
                writer.addRow(row);
            }
            writer.beginTable("APRES", {{"X", ColumnType::Integer}});
            const std::vector<Value> last = {std::int64_t(7)};
            const std::vector<Value> deleted = {std::int64_t(8)};
            writer.addDeletedRow(deleted); // left on its page, which libmdb skips
            writer.addRow(last);
            writer.finish();
        }
        const ReadBack back = readTable(path, "CON CONSULTATION", kShortTexts);
        QCOMPARE(back.rows.size(), rows);
        for (int i = 0; i < rows; ++i) {
            const QStringList& row = back.rows[i];
            if (row[0] != QString::number(i) || row[1] != (i % 7 == 0 ? QString() : QString::number(i / 20))
                || row[2] != QString("Motif n°%1").arg(i)
                || row[4] != (i % 1000 == 0 ? QString(3000, 'z') : QString("note %1").arg(i)))
                QFAIL(qPrintable(QString("row %1 differs: %2").arg(i).arg(row.join('|'))));
        }
        QCOMPARE(readTable(path, "APRES").rows, (QList<QStringList>{{"7"}}));
        const QString csv = run("mdb-export", {path, "CON CONSULTATION"});
        QCOMPARE(csv.count("\n"), rows + 1);
    }

    void wideTableDefinitionSpansPages()
    {
        const QString path = m_dir.filePath("wide.mdb");
        std::vector<Column> columns;
        std::vector<Value> values;
        QStringList expected, names;
        for (int i = 0; i < 255; ++i) {
            const std::string name = "Colonne numéro " + std::to_string(i) + std::string(40, 'x');
            columns.push_back({name, i % 3 == 0 ? ColumnType::Text : ColumnType::Long, 5});
            values.push_back(i % 3 == 0 ? Value(std::string("t") + std::to_string(i % 1000)) : Value(std::int64_t(i)));
            expected << (i % 3 == 0 ? QString("t%1").arg(i) : QString::number(i));
            names << QString::fromStdString(name);
        }
        Writer writer(path.toStdString());
        writer.beginTable("LARGE", columns);
        writer.addRow(values);
        writer.finish();
        const ReadBack back = readTable(path, "LARGE");
        QCOMPARE(back.columns, names);
        QCOMPARE(back.rows, (QList<QStringList>{expected}));
    }

    // Jet counts days from 30 December 1899; before it, the fraction is the time of day counted forward.
    void datesAreStoredAsJetDays()
    {
        const QString path = m_dir.filePath("dates.mdb");
        writeFromJson(R"({"tables": [{"name": "D", "columns": [{"name": "QUAND", "type": "datetime"}], "rows": [
            ["1900-01-01T18:00:00"], ["1899-12-29T06:00:00"], ["1899-12-30T00:00:00"], ["1899-12-30T12:00:00"],
            ["1899-12-29T00:00:00"], ["2004-03-07T14:05:00.000"], ["0100-01-01T00:00:00"], ["9999-12-31T23:59:59.999"],
            ["2000-02-29T00:00:00.25"]]}]})",
                      path.toStdString());
        const QList<double> stored = storedDoubles(path, "D");
        QCOMPARE(stored.size(), 9);
        QCOMPARE(stored[0], 2.75);
        QCOMPARE(stored[1], -1.25);
        QCOMPARE(stored[2], 0.0);
        QCOMPARE(stored[3], 0.5);
        QCOMPARE(stored[4], -1.0);
        QCOMPARE(stored[5], 38053.0 + (14 * 60 + 5) / 1440.0);
        QCOMPARE(stored[6], -657434.0);
        QCOMPARE(stored[7], 2958465.0 + 86399999 / 86400000.0);
        QCOMPARE(stored[8], 36585.0 + 250 / 86400000.0);
        QCOMPARE(parseDateTime("1900-01-01T18:00:00"), std::optional<double>(2.75));
        QVERIFY(!parseDateTime("1900-02-29T00:00:00"));
        QVERIFY(!parseDateTime("0099-12-31T00:00:00"));
        QVERIFY(!parseDateTime("2004-03-07 14:05:00"));
        QVERIFY(!parseDateTime("2004-03-07T24:00:00"));
    }

    void badInputIsRefused_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("named");
        const auto table = [](const char* columns, const char* rows) {
            return QByteArray(R"({"tables": [{"name": "GLB PATIENT", "columns": [)") + columns + R"(], "rows": [)"
                   + rows + "]}]}";
        };
        QTest::newRow("malformed JSON") << QByteArray(R"({"tables": [{"name": "A", "columns": [)")
                                        << QStringList{"malformed JSON", "line 1"};
        QTest::newRow("not an object") << QByteArray("[1, 2]") << QStringList{"\"tables\""};
        QTest::newRow("unknown type") << table(R"({"name": "NOM", "type": "varchar"})", "")
                                      << QStringList{"\"GLB PATIENT\"", "\"NOM\"", "varchar"};
        QTest::newRow("text for a long") << table(R"({"name": "CODE PATIENT", "type": "long"})", R"([1], ["douze"])")
                                         << QStringList{"\"GLB PATIENT\"", "row 2", "\"CODE PATIENT\"", "douze"};
        QTest::newRow("long out of range") << table(R"({"name": "CODE PATIENT", "type": "long"})", "[2147483648]")
                                           << QStringList{"row 1", "\"CODE PATIENT\"", "2147483648"};
        QTest::newRow("fraction for an integer") << table(R"({"name": "N", "type": "integer"})", "[1.5]")
                                                 << QStringList{"row 1", "\"N\"", "1.5"};
        QTest::newRow("number for a text") << table(R"({"name": "NOM", "type": "text"})", "[12]")
                                           << QStringList{"row 1", "\"NOM\"", "12"};
        QTest::newRow("bad date") << table(R"({"name": "NE", "type": "datetime"})", R"(["07/03/2004"])")
                                  << QStringList{"row 1", "\"NE\"", "07/03/2004"};
        QTest::newRow("array as value") << table(R"({"name": "NOM", "type": "memo"})", "[[1]]")
                                        << QStringList{"row 1", "\"NOM\""};
        QTest::newRow("text too long") << table(R"({"name": "NOM", "type": "text", "size": 5})", R"(["Hélène"])")
                                       << QStringList{"\"GLB PATIENT\"", "row 1", "\"NOM\"", "6 characters", "5"};
        QTest::newRow("wrong number of values") << table(R"({"name": "A", "type": "long"}, {"name": "B", "type": "long"})", "[1]")
                                                << QStringList{"row 1", "1 values for 2 columns"};
        QTest::newRow("bad size") << table(R"({"name": "NOM", "type": "text", "size": 300})", "")
                                  << QStringList{"\"NOM\"", "size"};
        QByteArray columns;
        for (int i = 0; i < 256; ++i)
            columns += QByteArray(i ? "," : "") + "{\"name\": \"C" + QByteArray::number(i) + "\", \"type\": \"byte\"}";
        QTest::newRow("256 columns") << table(columns, "") << QStringList{"\"GLB PATIENT\"", "256 columns"};
        QTest::newRow("duplicate table") << QByteArray(R"({"tables": [{"name": "GLB PATIENT", "columns": [{"name": "A", "type": "long"}]},
                                                        {"name": "glb patient", "columns": [{"name": "A", "type": "long"}]}]})")
                                         << QStringList{"\"glb patient\"", "duplicate table"};
        QTest::newRow("duplicate column") << table(R"({"name": "A", "type": "long"}, {"name": "a", "type": "text"})", "")
                                          << QStringList{"\"GLB PATIENT\"", "\"a\"", "duplicate column"};
        QTest::newRow("catalog name") << QByteArray(R"({"tables": [{"name": "MSysObjects", "columns": [{"name": "A", "type": "long"}]}]})")
                                      << QStringList{"\"MSysObjects\"", "duplicate table"};
        const QByteArray longText = QByteArray("\"") + QByteArray(250, 'x') + QByteArray("\"");
        const QByteArray wideRow = "[" + (longText + ",").repeated(8) + longText + "]";
        QTest::newRow("unreadable after U+FEFF") << table(R"({"name": "NOM", "type": "text"})", R"(["\ufeffx\u0100"])")
                                                 << QStringList{"row 1", "\"NOM\"", "U+FEFF"};
        QTest::newRow("row too large") << table(R"({"name": "A", "type": "text"}, {"name": "B", "type": "text"}, {"name": "C", "type": "text"},
                                                   {"name": "D", "type": "text"}, {"name": "E", "type": "text"}, {"name": "F", "type": "text"},
                                                   {"name": "G", "type": "text"}, {"name": "H", "type": "text"}, {"name": "I", "type": "text"})",
                                                wideRow)
                                       << QStringList{"\"GLB PATIENT\"", "row 1", "bytes"};
    }

    // A clear message naming what is wrong, a failure status and no file left behind, even when the
    // fault is found after rows were already written.
    void badInputIsRefused()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, named);
        const QString output = m_dir.filePath("bad.mdb");
        QByteArray withRowsBefore = json;
        withRowsBefore.replace(R"({"tables": [)", R"({"tables": [{"name": "AVANT", "columns": [{"name": "X", "type": "long"}], "rows": [[1], [2]]}, )");
        for (const QByteArray& input : {json, withRowsBefore}) {
            const QString inputPath = m_dir.filePath("bad.json");
            QFile file(inputPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(input);
            file.close();
            int exitCode = 0;
            QString errors;
            run(MDB_WRITE_PATH, {inputPath, output}, &exitCode, &errors);
            QVERIFY2(exitCode != 0, qPrintable(errors));
            for (const QString& part : named)
                QVERIFY2(errors.contains(part), qPrintable(errors + " lacks " + part));
            QCOMPARE(QDir(m_dir.path()).entryList({"bad.mdb*"}, QDir::Files), QStringList());
            QVERIFY_THROWS_EXCEPTION(WriteError, writeFromJson(input.toStdString(), output.toStdString()));
            QCOMPARE(QDir(m_dir.path()).entryList({"bad.mdb*"}, QDir::Files), QStringList());
        }
    }

    void commandReadsStandardInput()
    {
        const QString output = m_dir.filePath("stdin.mdb");
        int exitCode = -1;
        QString errors;
        run(MDB_WRITE_PATH, {"-", output}, &exitCode, &errors,
            R"({"tables": [{"name": "REF FONCTION", "columns": [{"name": "LIBELLE", "type": "text", "size": 40}], "rows": [["Médecin"]]}]})");
        QCOMPARE(exitCode, 0);
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
        QCOMPARE(readTable(output, "REF FONCTION").rows, (QList<QStringList>{{"Médecin"}}));
    }

    void sameInputGivesSameBytes()
    {
        const std::string json = R"({"tables": [{"name": "A", "columns": [{"name": "X", "type": "memo"}], "rows": [["un"], [null]]}]})";
        const QString first = m_dir.filePath("one.mdb"), second = m_dir.filePath("two.mdb");
        writeFromJson(json, first.toStdString());
        writeFromJson(json, second.toStdString());
        QFile a(first), b(second);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestMdbWriter)
#include "tst_mdbwriter.moc"
