#include "base/Conversions.h"
#include "base/VisibleText.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vf;

class TestConversions : public QObject {
    Q_OBJECT

private slots:
    void phoneNumber_data();
    void phoneNumber();
    void phoneNumberSequence();
    void socialSecurityNumber_data();
    void socialSecurityNumber();
    void truncateToMinute_data();
    void truncateToMinute();
    void dateText();
    void slashSeparator_data();
    void slashSeparator();
    void trailingSeparator();
    void deleteFileIfExists();
    void visibleControls_data();
    void visibleControls();
};

void TestConversions::phoneNumber_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("ten digits") << "0123456789" << "01 23 45 67 89";
    QTest::newRow("dots") << "01.23.45.67.89" << "01 23 45 67 89";
    QTest::newRow("already paired") << "01 23 45 67 89" << "01 23 45 67 89";
    QTest::newRow("blanks around") << " 0612345678 " << "06 12 34 56 78";
    QTest::newRow("more than ten digits") << "0123456789123" << "01 23 45 67 89123";
    QTest::newRow("international") << "+33 1 23 45 67 89" << "33 12 34 56 789";
    QTest::newRow("five digits") << "01234" << "01 23 4";
    QTest::newRow("trailing separator leaves a blank") << "01-" << "01 ";
    QTest::newRow("brackets") << "(0)1 23" << "01 23";
    QTest::newRow("one digit") << "1" << "1";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("blanks only") << "    " << "";
    QTest::newRow("control characters only") << QString::fromLatin1("\t\r\n\x01") << "";
    QTest::newRow("tab inside counts as a character") << "01\t23" << "01 23";
    QTest::newRow("letters dropped") << "01AB23" << "01 23";
    QTest::newRow("non-ASCII digits are not digits") << QString::fromUtf8("٠١23") << "23";
    QTest::newRow("leading control before digits") << QString::fromLatin1("\x02") + "0123" << "01 23";
}

void TestConversions::phoneNumber()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(FormatPhoneNumber(input), expected);
}

void TestConversions::phoneNumberSequence()
{
    // Nothing is carried from one record to the next.
    QCOMPARE(FormatPhoneNumber(QStringLiteral("0123456789")), QStringLiteral("01 23 45 67 89"));
    QCOMPARE(FormatPhoneNumber(QString()), QString());
    QCOMPARE(FormatPhoneNumber(QStringLiteral("98")), QStringLiteral("98"));
}

void TestConversions::socialSecurityNumber_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("blanks") << "1 84 12 75 108 123 45" << "1841275108123 45";
    QTest::newRow("dots") << "1.84.12.75.108.123.45" << "1841275108123 45";
    QTest::newRow("plain") << "184127510812345" << "1841275108123 45";
    QTest::newRow("thirteen digits") << "1841275108123" << "1841275108123";
    QTest::newRow("eighteen digits") << "184127510812345678" << "1841275108123 45678";
    QTest::newRow("Corsica") << "2A 12" << "212";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("no digit") << "abc" << "";
    QTest::newRow("fourteen digits") << "18412751081234" << "1841275108123 4";
}

void TestConversions::socialSecurityNumber()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(FormatSocialSecurityNumber(input), expected);
}

void TestConversions::truncateToMinute_data()
{
    QTest::addColumn<QDateTime>("input");
    QTest::addColumn<QDateTime>("expected");
    const QDate day(2004, 3, 12);
    QTest::newRow("seconds and milliseconds")
        << QDateTime(day, QTime(10, 31, 45, 500), Qt::UTC) << QDateTime(day, QTime(10, 31), Qt::UTC);
    QTest::newRow("dropped, not rounded")
        << QDateTime(day, QTime(10, 31, 59, 999), Qt::UTC) << QDateTime(day, QTime(10, 31), Qt::UTC);
    QTest::newRow("last minute of the day")
        << QDateTime(day, QTime(23, 59, 59), Qt::UTC) << QDateTime(day, QTime(23, 59), Qt::UTC);
    QTest::newRow("midnight unchanged")
        << QDateTime(day, QTime(0, 0), Qt::UTC) << QDateTime(day, QTime(0, 0), Qt::UTC);
    QTest::newRow("null date unchanged") << zeroDateTime() << zeroDateTime();
    QTest::newRow("before 1900")
        << QDateTime(QDate(1899, 12, 29), QTime(6, 0, 30), Qt::UTC)
        << QDateTime(QDate(1899, 12, 29), QTime(6, 0), Qt::UTC);
    QTest::newRow("invalid stays invalid") << QDateTime() << QDateTime();
}

void TestConversions::truncateToMinute()
{
    QFETCH(QDateTime, input);
    QFETCH(QDateTime, expected);
    const QDateTime result = TruncateToMinute(input);
    QCOMPARE(result, expected);
    QCOMPARE(result.timeSpec(), expected.timeSpec());
}

void TestConversions::dateText()
{
    const DateFormats formats{QStringLiteral("dd/MM/yyyy"), QStringLiteral("HH:mm:ss")};
    const QDateTime midnight(QDate(2004, 3, 7), QTime(0, 0), Qt::UTC);
    const QDateTime afternoon(QDate(2004, 3, 7), QTime(14, 5), Qt::UTC);
    QCOMPARE(DateText(QVariant(midnight), formats), QStringLiteral("07/03/2004"));
    QCOMPARE(DateText(QVariant(afternoon), formats), QStringLiteral("07/03/2004 14:05:00"));
    QCOMPARE(DateText(QVariant(), formats), QString());
    QCOMPARE(DateText(QVariant(QMetaType::fromType<QDateTime>()), formats), QString());
    // The stored value is quoted, seconds included.
    const QDateTime seconds(QDate(2004, 3, 7), QTime(14, 5, 9, 400), Qt::UTC);
    QCOMPARE(DateText(QVariant(seconds), formats), QStringLiteral("07/03/2004 14:05:09"));
    const DateFormats english{QStringLiteral("MM/dd/yy"), QStringLiteral("hh:mm:ss AP")};
    QCOMPARE(DateText(QVariant(afternoon), english), QStringLiteral("03/07/04 02:05:00 PM"));
    // Texts already made for one pattern are never handed out for another.
    QCOMPARE(DateText(QVariant(afternoon), formats), QStringLiteral("07/03/2004 14:05:00"));
}

void TestConversions::slashSeparator_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected");
    QTest::newRow("slash") << "dd/MM/yyyy" << "dd/MM/yyyy";
    QTest::newRow("dots") << "dd.MM.yyyy" << "dd/MM/yyyy";
    QTest::newRow("dashes") << "yyyy-MM-dd" << "yyyy/MM/dd";
    QTest::newRow("quoted literal kept") << "dd-MM-yyyy' r.'" << "dd/MM/yyyy' r.'";
}

void TestConversions::slashSeparator()
{
    QFETCH(QString, pattern);
    QFETCH(QString, expected);
    QCOMPARE(withSlashSeparator(pattern), expected);
}

void TestConversions::trailingSeparator()
{
    const QString sep = QDir::separator();
    QCOMPARE(AddTrailingBackslash(QString()), QString());
    QCOMPARE(AddTrailingBackslash(QStringLiteral("base")), QStringLiteral("base") + sep);
    QCOMPARE(AddTrailingBackslash(QStringLiteral("base") + sep), QStringLiteral("base") + sep);
    QCOMPARE(AddTrailingBackslash(QStringLiteral("/srv/base/")), QStringLiteral("/srv/base/"));
    QCOMPARE(AddTrailingBackslash(QStringLiteral("/")), QStringLiteral("/"));
}

void TestConversions::deleteFileIfExists()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("PARADOX.LCK"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(DeleteFileIfExists(file));
    QVERIFY(!QFile::exists(file));
    QVERIFY(DeleteFileIfExists(file)); // nothing there: true
    QVERIFY(DeleteFileIfExists(QString()));
    // A folder is not a file: left alone.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("PDOXUSRS.NET")));
    QVERIFY(DeleteFileIfExists(dir.filePath(QStringLiteral("PDOXUSRS.NET"))));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("PDOXUSRS.NET"))).isDir());
}

void TestConversions::visibleControls_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain text, newline and tab") << QStringLiteral("Zoé\tLefèvre\n中文") << QStringLiteral("Zoé\tLefèvre\n中文");
    QTest::newRow("C0, DEL and C1 controls") << QString::fromUtf16(u"a\x01\x1b[2J\r\x7f\x9b")
                                             << QStringLiteral("a\\x01\\x1b[2J\\x0d\\x7f\\x9b");
    QTest::newRow("embeddings, overrides and isolates")
        << QString::fromUtf16(u"\u202a\u202b\u202c\u202d\u202eFDP\u2066\u2067\u2068\u2069")
        << QStringLiteral("\\u202a\\u202b\\u202c\\u202d\\u202eFDP\\u2066\\u2067\\u2068\\u2069");
    QTest::newRow("marks") << QString::fromUtf16(u"1\u200e2\u200f3\u061c") << QStringLiteral("1\\u200e2\\u200f3\\u061c");
    QTest::newRow("neighbours left alone") << QString::fromUtf16(u"\u2029\u202f\u2065\u206a\u200d\u00a0")
                                           << QString::fromUtf16(u"\u2029\u202f\u2065\u206a\u200d\u00a0");
}

void TestConversions::visibleControls()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(withVisibleControls(text), shown);
}

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"
