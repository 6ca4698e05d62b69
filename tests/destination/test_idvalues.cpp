#include "base/Errors.h"
#include "base/RecordingReporter.h"
#include "destination/DestinationConnection.h"
#include "destination/IdValues.h"
#include "support/TestDestination.h"

#include <QtTest>

using vf::test::Backend;

namespace {

QVariant storedValue(const vf::test::TestDestination& dest, const QString& key)
{
    const auto rows = dest.rows(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME = '%1'").arg(key));
    return rows.isEmpty() ? QVariant() : rows.first().value(QStringLiteral("LAST_VALUE"));
}

} // namespace

class TestIdValues : public QObject {
    Q_OBJECT
private slots:
    void statementTexts()
    {
        QCOMPARE(vf::IdValues::kReadText, QStringLiteral("SELECT LAST_VALUE \r\nFROM ID_VALUES WHERE KEY_NAME=:chaine\r\n"));
        QCOMPARE(vf::IdValues::kInsertText, QStringLiteral("INSERT INTO ID_VALUES values (:chaine, 0)\r\n"));
        QCOMPARE(vf::IdValues::kUpdateText,
                 QStringLiteral("UPDATE ID_VALUES \r\nSET LAST_VALUE = :last_value \r\nWHERE KEY_NAME = :key_name\r\n"));
    }

    void counters_data() { vf::test::addBackendColumn(); }
    void counters()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c;
        QVERIFY_THROWS_NO_EXCEPTION(c.open(dest.connectionString()));
        vf::RecordingReporter reporter;
        vf::IdValues ids(c, reporter);

        // A missing key is created with 0 and reads 0.
        QCOMPARE(ids.ReadIdValue(QStringLiteral("PATIENTS")), 0);
        QCOMPARE(storedValue(dest, QStringLiteral("PATIENTS")).toInt(), 0);
        QCOMPARE(ids.ReadIdValue(QStringLiteral("PATIENTS")), 0);
        QCOMPARE(dest.rows(QStringLiteral("SELECT * FROM ID_VALUES")).size(), 1);

        // WriteIdValue on a missing key: inserted with 0, then raised.
        ids.WriteIdValue(QStringLiteral("MEDECINS"), 3, false);
        QCOMPARE(storedValue(dest, QStringLiteral("MEDECINS")).toInt(), 3);
        // A missing key written with 0 stays at 0.
        ids.WriteIdValue(QStringLiteral("LETTERS"), 0, false);
        QCOMPARE(storedValue(dest, QStringLiteral("LETTERS")).toInt(), 0);

        // Without force a counter only rises.
        ids.WriteIdValue(QStringLiteral("MEDECINS"), 2, false);
        QCOMPARE(storedValue(dest, QStringLiteral("MEDECINS")).toInt(), 3);
        ids.WriteIdValue(QStringLiteral("MEDECINS"), 3, false);
        QCOMPARE(storedValue(dest, QStringLiteral("MEDECINS")).toInt(), 3);
        ids.WriteIdValue(QStringLiteral("MEDECINS"), 58, false);
        QCOMPARE(ids.ReadIdValue(QStringLiteral("MEDECINS")), 58);
        // With force it is lowered (the purge writes 0).
        ids.WriteIdValue(QStringLiteral("MEDECINS"), 0, true);
        QCOMPARE(storedValue(dest, QStringLiteral("MEDECINS")).toInt(), 0);
        ids.WriteIdValue(QStringLiteral("VIDAL"), 0, true);
        QCOMPARE(storedValue(dest, QStringLiteral("VIDAL")).toInt(), 0);

        // Other keys are untouched; no warning was shown.
        QCOMPARE(storedValue(dest, QStringLiteral("PATIENTS")).toInt(), 0);
        QVERIFY(reporter.boxes.isEmpty());
    }

    // Identifiers handed out by a phase: the table's maximum plus one, plus two.
    void seeding_data() { vf::test::addBackendColumn(); }
    void seeding()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c;
        QVERIFY_THROWS_NO_EXCEPTION(c.open(dest.connectionString()));
        const QString seed = QStringLiteral("SELECT max(ANTECED_ID) FROM ANTECED");
        QCOMPARE(c.scalarInt(seed) + 1, 1);
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID) VALUES (12, 1)")));
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID) VALUES (57, 1)")));
        qint32 counter = c.scalarInt(seed);
        vf::DestQuery insert(c, QStringLiteral("INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID, AUTRES) VALUES (:id, 1, :autres)"));
        for (const char* text : {"a", "b"}) {
            ++counter;
            insert.bind(QStringLiteral("id"), counter);
            insert.bind(QStringLiteral("autres"), QString::fromLatin1(text));
            insert.exec();
        }
        const auto rows = dest.rows(QStringLiteral("SELECT ANTECED_ID, AUTRES FROM ANTECED WHERE AUTRES IS NOT NULL ORDER BY ANTECED_ID"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0][QStringLiteral("ANTECED_ID")].toInt(), 58);
        QCOMPARE(rows[1][QStringLiteral("ANTECED_ID")].toInt(), 59);
    }

    // A failed insert or update shows its warning quoting the statement; the run goes on and
    // the stored value stays. A failing read reaches the caller.
    void failures_data() { vf::test::addBackendColumn(); }
    void failures()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        QVERIFY(dest.exec(QStringLiteral("DROP TABLE ID_VALUES")));
        vf::DestinationConnection c;
        QVERIFY_THROWS_NO_EXCEPTION(c.open(dest.connectionString()));
        vf::RecordingReporter reporter;
        vf::IdValues ids(c, reporter);
        QVERIFY_THROWS_EXCEPTION(vf::Error, ids.ReadIdValue(QStringLiteral("PATIENTS")));
        QVERIFY_THROWS_EXCEPTION(vf::Error, ids.WriteIdValue(QStringLiteral("PATIENTS"), 0, true));

        // A third required column makes the insert fail; a check makes updates above 100 fail.
        QVERIFY(dest.exec(QStringLiteral("CREATE TABLE ID_VALUES (KEY_NAME VARCHAR(30) NOT NULL PRIMARY KEY, "
                                         "LAST_VALUE INTEGER CHECK (LAST_VALUE <= 100), EXTRA INTEGER NOT NULL)")));
        QCOMPARE(ids.ReadIdValue(QStringLiteral("MOTCONSU")), 0);
        QCOMPARE(reporter.boxTexts(vf::RecordingReporter::Box::Warning),
                 QStringList{QStringLiteral("La requête INSERT INTO ID_VALUES values (:chaine, 0)\r\n"
                                            " avec le paramètre chaine=MOTCONSU a échoué.")});
        QVERIFY(dest.rows(QStringLiteral("SELECT * FROM ID_VALUES")).isEmpty());

        reporter.boxes.clear();
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO ID_VALUES VALUES ('MOTCONSU', 40, 1)")));
        ids.WriteIdValue(QStringLiteral("MOTCONSU"), 150, false);
        QCOMPARE(reporter.boxTexts(vf::RecordingReporter::Box::Warning),
                 QStringList{QStringLiteral("La requête UPDATE ID_VALUES \r\nSET LAST_VALUE = :last_value \r\n"
                                            "WHERE KEY_NAME = :key_name\r\n avec les paramètres key_name=MOTCONSU"
                                            " et last_value=150 a échoué.")});
        QCOMPARE(storedValue(dest, QStringLiteral("MOTCONSU")).toInt(), 40);
        // The statements stay usable after a failure.
        ids.WriteIdValue(QStringLiteral("MOTCONSU"), 41, false);
        QCOMPARE(storedValue(dest, QStringLiteral("MOTCONSU")).toInt(), 41);
        QCOMPARE(reporter.boxes.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestIdValues)
#include "test_idvalues.moc"
