#include "base/TestHold.h"

#include <QByteArray>
#include <QFile>
#include <QThread>

namespace vf {

void testHold(const char* moment)
{
    static const QByteArray wanted = qgetenv("VF_TEST_HOLD");
    if (wanted.isEmpty())
        return;
    static int passed = 0;
    const QList<QByteArray> parts = wanted.split(':');
    if (parts.size() != 2 || parts[0] != moment || ++passed != parts[1].toInt())
        return;
    QFile marker(QString::fromLocal8Bit(qgetenv("VF_TEST_HOLD_FILE")));
    if (!marker.open(QIODevice::WriteOnly))
        return;
    marker.close();
    while (marker.exists())
        QThread::msleep(20);
}

} // namespace vf
