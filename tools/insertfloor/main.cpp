// Inserts ROWS rows of four columns (an identifier, an integer, a date-time and a text) into a
// new table VF_FLOOR with one prepared INSERT, each row committed by itself, through Qt's ODBC
// driver and the connection string given, and prints the seconds it took.
// Usage: vf_insert_floor CONNECTION_STRING ROWS
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: vf_insert_floor CONNECTION_STRING ROWS\n");
        return 2;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"));
    db.setDatabaseName(QString::fromLocal8Bit(argv[1]));
    if (!db.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(db.lastError().text()));
        return 1;
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TABLE VF_FLOOR (ID INTEGER PRIMARY KEY, PATIENTS_ID INTEGER, "
                                   "DATE_CONSULTATION TIMESTAMP, MOTIF TEXT)"))) {
        std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
        return 1;
    }
    const int rows = QByteArray(argv[2]).toInt();
    const QString motif = QStringLiteral("Consultation de suivi : tension artérielle 13/8, poids stable.\r\n");
    const QDateTime start(QDate(2004, 3, 12), QTime(10, 31), Qt::UTC);
    QElapsedTimer timer;
    timer.start();
    query.prepare(QStringLiteral("INSERT INTO VF_FLOOR (ID, PATIENTS_ID, DATE_CONSULTATION, MOTIF) VALUES (?, ?, ?, ?)"));
    for (int n = 1; n <= rows; ++n) {
        query.bindValue(0, n);
        query.bindValue(1, n / 20 + 1);
        query.bindValue(2, start.addSecs(60 * n));
        query.bindValue(3, motif);
        if (!query.exec()) {
            std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
            return 1;
        }
    }
    std::printf("%.2f\n", timer.nsecsElapsed() / 1e9);
    return 0;
}
