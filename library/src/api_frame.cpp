#include "api_frame.h"

#include <future>
#include <system_error>

#include "Boost_Log.h"
#include "exceptions.h"

namespace vxn {

namespace {

struct classified {
    unsigned kind;      // a caught:: bit, or 0 for anything else
    error_code listed;  // the code when the kind is listed
};

classified classify(const frame_options& options) {
    try {
        throw;
    } catch (const lock_error& e) {
        return {caught::lock, e.getError()};
    } catch (const invalid_serial&) {
        return {caught::unknown_id, EC_UNKNOWN_IDENTIFIER};
    } catch (const std::out_of_range&) {
        return {caught::out_of_range, EC_OUT_OF_RANGE};
    } catch (const std::invalid_argument&) {
        return {caught::out_of_range | caught::everything, EC_OUT_OF_RANGE};
    } catch (const boards::comm_error&) {
        return {caught::communication, EC_COMMUNICATION};
    } catch (const std::domain_error&) {
        return {caught::wrong_mode, EC_WRONG_MODE};
    } catch (const running_error&) {
        return {caught::running, EC_BOARD_RUNNING};
    } catch (const fw_unsupported&) {
        return {caught::unsupported, EC_FW_UNSUPPORTED};
    } catch (const std::runtime_error& e) {
        VXN_LOG("Functions", ERR) << "Functions. Run-time failure: " << e.what();
        return {caught::runtime, options.runtime_code};
    } catch (const std::exception& e) {
        VXN_LOG("Functions", ERR) << "Functions. Unexpected failure: " << e.what();
        return {0, EC_RUNTIME};
    } catch (...) {
        VXN_LOG("Functions", ERR) << "Functions. Unexpected failure of unknown kind.";
        return {0, EC_RUNTIME};
    }
}

}  // namespace

bool current_exception_listed(unsigned listed) {
    return (classify({}).kind & listed) != 0;
}

error_code current_exception_code(const frame_options& options) {
    const classified c = classify(options);
    if (c.kind & options.listed)
        return c.listed;
    // Not one of the function's own kinds: the general codes.
    if (c.kind == caught::unknown_id)
        return EC_UNKNOWN_IDENTIFIER;
    if (c.kind & caught::out_of_range)
        return EC_OUT_OF_RANGE;
    return EC_RUNTIME;
}

void set_error_from_current_exception(const frame_options& options) {
    globals::set_last_error(current_exception_code(options));
}

}  // namespace vxn
