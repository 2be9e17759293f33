#include "db/sqlstatement.h"

namespace db {

SQLStatement::~SQLStatement() = default;

SQLStatement& SQLStatement::bind(int position, const char* value) {
    if (value == nullptr) return bind_NULL(position);
    return bind(position, std::string(value));
}

}  // namespace db
