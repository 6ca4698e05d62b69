// The Windows build's conversions (packaging/windows/iconv), run here against glibc's iconv,
// which libmdb uses on Linux: the same bytes in, the same bytes out, the same bytes consumed
// and the same error kind (EILSEQ, EINVAL, E2BIG), for chosen and for generated inputs.
#include <QRandomGenerator>
#include <QtTest/QtTest>

#include <cerrno>
#include <iconv.h>

extern "C" {
void* windows_iconv_open(const char* to, const char* from);
size_t windows_iconv(void* cd, char** in, size_t* inLeft, char** out, size_t* outLeft);
int windows_iconv_close(void* cd);
}

namespace {

// What one call did: its result, its error, the input it consumed and the output it wrote.
struct Outcome {
    size_t result = 0;
    int error = 0;
    qsizetype consumed = 0;
    QByteArray written;
    bool operator==(const Outcome&) const = default;
};

QString describe(const Outcome& outcome)
{
    return QStringLiteral("result %1, errno %2, %3 consumed, wrote %4")
        .arg(qlonglong(outcome.result))
        .arg(outcome.error == EILSEQ ? "EILSEQ" : outcome.error == EINVAL ? "EINVAL" : outcome.error == E2BIG ? "E2BIG"
                                                                                                             : "none")
        .arg(outcome.consumed)
        .arg(QString::fromLatin1(outcome.written.toHex(' ')));
}

template <typename Convert>
Outcome run(Convert convert, const QByteArray& input, int outSize)
{
    QByteArray in = input;
    QByteArray out(outSize, '\0');
    char* from = in.data();
    char* to = out.data();
    size_t fromLeft = size_t(in.size()), toLeft = size_t(outSize);
    errno = 0;
    Outcome outcome;
    outcome.result = convert(&from, &fromLeft, &to, &toLeft);
    outcome.error = outcome.result == size_t(-1) ? errno : 0;
    outcome.consumed = in.size() - qsizetype(fromLeft);
    outcome.written = out.left(outSize - qsizetype(toLeft));
    return outcome;
}

// Both conversions of the input; empty when they agree, else what each did.
QString compare(const char* to, const char* from, const QByteArray& input, int outSize)
{
    iconv_t glibc = iconv_open(to, from);
    void* windows = windows_iconv_open(to, from);
    if (glibc == iconv_t(-1) || windows == reinterpret_cast<void*>(-1))
        return QStringLiteral("%1 to %2 cannot be opened").arg(from, to);
    const Outcome expected = run([&](char** i, size_t* il, char** o, size_t* ol) { return iconv(glibc, i, il, o, ol); },
                                 input, outSize);
    const Outcome actual = run([&](char** i, size_t* il, char** o, size_t* ol) { return windows_iconv(windows, i, il, o, ol); },
                               input, outSize);
    iconv_close(glibc);
    windows_iconv_close(windows);
    if (expected == actual)
        return QString();
    return QStringLiteral("%1 to %2 of %3 into %4 bytes: glibc %5; Windows %6")
        .arg(from, to, QString::fromLatin1(input.toHex(' ')))
        .arg(outSize)
        .arg(describe(expected), describe(actual));
}

} // namespace

class TestWindowsIconv : public QObject {
    Q_OBJECT

private slots:
    void asGlibc_data();
    void asGlibc();
    void generatedInputsAsGlibc_data();
    void generatedInputsAsGlibc();
    void codePagesOpened_data();
    void codePagesOpened();
};

void TestWindowsIconv::asGlibc_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("outSize");
    const QByteArray utf8 = "UTF-8", ucs2 = "UCS-2LE";
    QTest::newRow("UTF-8, plain") << utf8 << ucs2 << QByteArray("Zo\xc3\xa9 \xe2\x82\xac") << 64;
    QTest::newRow("UTF-8, full output") << utf8 << ucs2 << QByteArray("abc") << 5;
    QTest::newRow("UTF-8, C0 and C1 leads") << utf8 << ucs2 << QByteArray("a\xc0\x80") << 64;
    QTest::newRow("UTF-8, C1 lead at the end") << utf8 << ucs2 << QByteArray("a\xc1") << 64;
    QTest::newRow("UTF-8, overlong three bytes") << utf8 << ucs2 << QByteArray("\xe0\x80\x80") << 64;
    QTest::newRow("UTF-8, overlong prefix at the end") << utf8 << ucs2 << QByteArray("\xe0\x80") << 64;
    QTest::newRow("UTF-8, surrogate") << utf8 << ucs2 << QByteArray("\xed\xa0\x80") << 64;
    QTest::newRow("UTF-8, surrogate prefix at the end") << utf8 << ucs2 << QByteArray("\xed\xa0") << 64;
    QTest::newRow("UTF-8, beyond U+10FFFF") << utf8 << ucs2 << QByteArray("\xf4\x90\x80\x80") << 64;
    QTest::newRow("UTF-8, F5 lead at the end") << utf8 << ucs2 << QByteArray("\xf5\x80") << 64;
    QTest::newRow("UTF-8, five-byte lead") << utf8 << ucs2 << QByteArray("\xf8\x88\x80\x80\x80") << 64;
    QTest::newRow("UTF-8, lone continuation") << utf8 << ucs2 << QByteArray("\x80") << 64;
    QTest::newRow("UTF-8, cut before a bad byte") << utf8 << ucs2 << QByteArray("\xe2\x82\x41") << 64;
    QTest::newRow("UTF-8, astral into UCS-2") << utf8 << ucs2 << QByteArray("\xf0\x9f\x98\x80") << 64;
    QTest::newRow("UTF-8, astral cut, output full") << utf8 << ucs2 << QByteArray("a\xf0\x9f") << 2;
    QTest::newRow("UCS-2, odd length") << ucs2 << utf8 << QByteArray("a\0b", 3) << 64;
    QTest::newRow("UCS-2, lone surrogate") << ucs2 << utf8 << QByteArray("\x00\xd8", 2) << 64;
    QTest::newRow("UCS-2, output full inside a character") << ucs2 << utf8 << QByteArray("\xac\x20", 2) << 2;
    QTest::newRow("CP1252, holes") << QByteArray("CP1252") << utf8 << QByteArray("\x80\x81") << 64;
    QTest::newRow("CP932, whole characters") << QByteArray("CP932") << utf8 << QByteArray("a\x82\xa0\x93\xfa\x96\x7b") << 64;
    QTest::newRow("CP932, lead byte at the end") << QByteArray("CP932") << utf8 << QByteArray("a\x93") << 64;
    QTest::newRow("CP932, bad trail byte") << QByteArray("CP932") << utf8 << QByteArray("\x93\x20") << 64;
    QTest::newRow("CP950, output full") << QByteArray("CP950") << utf8 << QByteArray("\xa4\xa4\xa4\xe5") << 4;
    QTest::newRow("CP949, whole characters") << QByteArray("CP949") << utf8 << QByteArray("\xb0\xa1z") << 64;
}

void TestWindowsIconv::asGlibc()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QByteArray, input);
    QFETCH(int, outSize);
    const QString difference = compare(to.constData(), from.constData(), input, outSize);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestWindowsIconv::generatedInputsAsGlibc_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QByteArray>("bytes"); // the bytes the inputs are drawn from
    QByteArray utf8Bytes("a\x7f\x80\x8f\x90\x9f\xa0\xbf\xc0\xc1\xc2\xdf\xe0\xe1\xed\xef\xf0\xf1\xf4\xf5\xf8\xfc\xfe\xff");
    QByteArray anyByte;
    for (int b = 0; b < 256; ++b)
        anyByte.append(char(b));
    QTest::newRow("UTF-8 to UCS-2LE") << QByteArray("UTF-8") << QByteArray("UCS-2LE") << utf8Bytes;
    QTest::newRow("UTF-8 to UTF-8") << QByteArray("UTF-8") << QByteArray("UTF-8") << utf8Bytes;
    QTest::newRow("UCS-2LE to UTF-8") << QByteArray("UCS-2LE") << QByteArray("UTF-8") << QByteArray("\x00\x41\xd8\xdc\xdf\xe0\x20\xff", 8);
    for (const char* page : {"CP1252", "CP1250", "CP932", "CP936", "CP949", "CP950"})
        QTest::newRow(page) << QByteArray(page) << QByteArray("UTF-8") << anyByte;
}

// Inputs of up to six bytes drawn from the bytes that matter, into outputs of 0 to 12 bytes,
// always the same ones (a fixed seed).
void TestWindowsIconv::generatedInputsAsGlibc()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QByteArray, bytes);
    QRandomGenerator random(35);
    for (int i = 0; i < 5000; ++i) {
        QByteArray input;
        for (int n = int(random.bounded(7)); n > 0; --n)
            input.append(bytes.at(int(random.bounded(int(bytes.size())))));
        const QString difference = compare(to.constData(), from.constData(), input, int(random.bounded(13)));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
}

void TestWindowsIconv::codePagesOpened_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("opened");
    QTest::newRow("Windows-1252") << QByteArray("WINDOWS-1252") << true;
    QTest::newRow("IBM850") << QByteArray("IBM850") << true;
    QTest::newRow("Shift-JIS, a double-byte code page") << QByteArray("SHIFT-JIS") << true;
    QTest::newRow("GB18030, characters of up to four bytes") << QByteArray("CP54936") << false;
    QTest::newRow("UTF-16LE") << QByteArray("UTF-16LE") << false;
}

void TestWindowsIconv::codePagesOpened()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, opened);
    void* cd = windows_iconv_open("UTF-8", name.constData());
    QCOMPARE(cd != reinterpret_cast<void*>(-1), opened);
    if (opened)
        windows_iconv_close(cd);
    else
        QCOMPARE(errno, EINVAL);
}

QTEST_GUILESS_MAIN(TestWindowsIconv)
#include "tst_windows_iconv.moc"
