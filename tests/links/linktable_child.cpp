// Test helper: records the pairs (n, n * 10) for n = 1 to <count> in folder/<file>, prints
// "recorded" once the last pair is settled, then waits to be killed.
#include "links/LinkTable.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    vf::LinkTable table;
    table.open(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    const int count = QByteArray(argv[3]).toInt();
    for (int n = 1; n <= count; ++n) {
        table.addPending({{n, n * 10, QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID")}});
        table.settleAll();
    }
    std::fputs("recorded\n", stdout);
    std::fflush(stdout);
    for (;;)
        ::pause();
}
