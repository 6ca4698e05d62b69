#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "support/TestDestination.h"

#include <QtTest>

using vf::test::Backend;

class TestDestinationConnection : public QObject {
    Q_OBJECT
private slots:
    void smoke_data() { vf::test::addBackendColumn(); }
    void smoke()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c(QStringLiteral("smoke"));
        c.open(dest.connectionString());
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT MAX(MEDECINS_ID) from MEDECINS")), 0);
        qDebug() << c.tables();
    }
};

QTEST_GUILESS_MAIN(TestDestinationConnection)
#include "test_destination.moc"
