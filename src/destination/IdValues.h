#pragma once

#include <QString>
#include <memory>

namespace vf {

class DestinationConnection;
class Reporter;

// The destination's counter table ID_VALUES (KEY_NAME, LAST_VALUE), through the three
// statements QryReadIDValues, QryInsertIDValues and QryUpdateIDValues, prepared once.
class IdValues {
public:
    IdValues(DestinationConnection& connection, Reporter& reporter);
    ~IdValues();

    // LAST_VALUE of the key; a missing key is inserted with 0 and reads 0. A failed insert
    // shows its warning box. A failing read throws vf::Error.
    int ReadIdValue(const QString& key);
    // Stores the value when it is greater than the stored one, or always with force.
    void WriteIdValue(const QString& key, int value, bool force);

    static const QString kReadText;
    static const QString kInsertText;
    static const QString kUpdateText;

private:
    struct Private;
    std::unique_ptr<Private> m_d;
};

} // namespace vf
