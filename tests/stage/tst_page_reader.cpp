// The reader's walk of a table's usage map, on maps built here: the data pages it names, in order,
// and the French message of each map it cannot follow. Then the rows it takes from a data page.

#include "stage/PageReader.h"

#include <QTest>

#include <map>

using namespace vf::stage;

namespace {

// Bitmap pages by number; any other page cannot be read.
class MapPages : public PageSource {
public:
    explicit MapPages(std::map<std::uint32_t, std::vector<int>> bits)
    {
        for (const auto& [number, set] : bits) {
            std::vector<unsigned char>& page = m_pages[number];
            page.assign(4096, 0);
            for (const int bit : set)
                page[4 + bit / 8] |= std::uint8_t(1 << (bit % 8));
        }
    }
    const unsigned char* page(std::uint32_t number) override
    {
        const auto found = m_pages.find(number);
        if (found == m_pages.end())
            throw ReadError("page illisible");
        return found->second.data();
    }

private:
    std::map<std::uint32_t, std::vector<unsigned char>> m_pages;
};

std::vector<unsigned char> bytesOf(std::initializer_list<unsigned> bytes) { return {bytes.begin(), bytes.end()}; }

constexpr std::uint32_t kTablePage = 2;
constexpr int kDeleted = 0x4000;
using Rows = QList<std::pair<int, int>>; // the start and the length of each row

// A data page of the table defined on kTablePage whose row table holds these offsets, flags included.
std::vector<unsigned char> dataPage(const QList<int>& offsets)
{
    std::vector<unsigned char> page(4096, 0);
    page[0] = 0x01;
    page[4] = kTablePage;
    page[12] = std::uint8_t(offsets.size());
    for (qsizetype row = 0; row < offsets.size(); ++row) {
        page[std::size_t(14 + 2 * row)] = std::uint8_t(offsets[row]);
        page[std::size_t(15 + 2 * row)] = std::uint8_t(offsets[row] >> 8);
    }
    return page;
}

} // namespace

class PageReaderTest : public QObject {
    Q_OBJECT

private slots:
    void usageMaps_data()
    {
        QTest::addColumn<std::vector<unsigned char>>("map");
        QTest::addColumn<QList<std::uint32_t>>("pages");
        QTest::addColumn<QString>("error");
        const QList<std::uint32_t> none;
        // Type 0: the first page named, then one bit per page from it; page 0 is never named.
        QTest::newRow("inline from page 0") << bytesOf({0, 0, 0, 0, 0, 0x0b}) << QList<std::uint32_t>{1, 3} << QString();
        QTest::newRow("inline from page 10") << bytesOf({0, 10, 0, 0, 0, 0x05}) << QList<std::uint32_t>{10, 12} << QString();
        QTest::newRow("inline without bitmap") << bytesOf({0, 10, 0, 0}) << none << QString();
        QTest::newRow("inline beyond the file") << bytesOf({0, 0xa0, 0x86, 0x01, 0, 0x01}) << none
                                                << QStringLiteral("le fichier est incomplet ou endommagé (la table [T] renvoie à une page absente)");
        QTest::newRow("inline page number negative") << bytesOf({0, 0xff, 0xff, 0xff, 0x7f, 0x02}) << none
                                                     << QStringLiteral("la carte des pages de la table [T] est illisible");
        QTest::newRow("unknown type") << bytesOf({2, 0, 0, 0, 0}) << none << QStringLiteral("la carte des pages de la table [T] est illisible");
        // Type 1: the pages that hold the bitmaps, each covering (4096 - 4) x 8 pages. The first
        // bit read is skipped, that of the first bitmap page named, whichever it is.
        QTest::newRow("bitmap pages") << bytesOf({1, 7, 0, 0, 0, 8, 0, 0, 0}) << QList<std::uint32_t>{1, 32736 + 0, 32736 + 5}
                                      << QString();
        QTest::newRow("first bitmap page absent") << bytesOf({1, 0, 0, 0, 0, 8, 0, 0, 0}) << QList<std::uint32_t>{32736 + 5}
                                                  << QString();
        QTest::newRow("bitmap page unreadable") << bytesOf({1, 9, 0, 0, 0}) << none
                                                << QStringLiteral("la carte des pages de la table [T] est illisible");
    }

    void usageMaps()
    {
        QFETCH(std::vector<unsigned char>, map);
        QFETCH(QList<std::uint32_t>, pages);
        QFETCH(QString, error);
        MapPages bitmaps({{7, {0, 1}}, {8, {0, 5}}});
        try {
            const std::vector<std::uint32_t> named = usageMapPages(map.data(), map.size(), PageFormat{}, 100000, bitmaps, "T");
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(QList<std::uint32_t>(named.begin(), named.end()), pages);
        } catch (const ReadError& failure) {
            QCOMPARE(QString::fromUtf8(failure.what()), error);
        }
    }

    // Access leaves a deleted row in its page, its offset flagged, until the file is compacted:
    // only the live rows are read, each to the start of the row before it, deleted or not.
    void dataPageRows_data()
    {
        QTest::addColumn<QList<int>>("offsets");
        QTest::addColumn<Rows>("rows");
        QTest::newRow("live rows") << QList<int>{4000, 3900, 3800} << Rows{{4000, 96}, {3900, 100}, {3800, 100}};
        QTest::newRow("deleted rows among live ones") << QList<int>{4000, 3900 | kDeleted, 3800, 3700 | kDeleted, 3650}
                                                      << Rows{{4000, 96}, {3800, 100}, {3650, 50}};
        QTest::newRow("first and last rows deleted") << QList<int>{4000 | kDeleted, 3900, 3800 | kDeleted}
                                                     << Rows{{3900, 100}};
        QTest::newRow("every row deleted") << QList<int>{4000 | kDeleted, 3900 | kDeleted} << Rows{};
    }

    void dataPageRows()
    {
        QFETCH(QList<int>, offsets);
        QFETCH(Rows, rows);
        const std::vector<unsigned char> page = dataPage(offsets);
        Rows read;
        for (const RowSlot& slot : vf::stage::dataPageRows(page.data(), PageFormat{}, kTablePage, "T", 3))
            read.append({slot.start, slot.length});
        QCOMPARE(read, rows);
    }
};

QTEST_GUILESS_MAIN(PageReaderTest)
#include "tst_page_reader.moc"
