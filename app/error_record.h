#pragma once
// The last error trapped on the user-interface thread, as the socket error
// handlers read it; a trapped handler clears it when it ends.
#include <QString>
#include <cstdint>

namespace zv {

struct ErrorRecord {
    std::int32_t number = 0;
    QString description;
    void clear() {
        number = 0;
        description.clear();
    }
};

}  // namespace zv
