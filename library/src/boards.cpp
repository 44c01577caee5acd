#include "boards.h"

boards::boards(std::string identifier, bool /*comm_protocol: kept by the chain*/)
    : identifier_(std::move(identifier)) {}

boards::~boards() = default;
