#include "sim/model/register_model.hpp"

#include <cerrno>

namespace tarnvel::sim {

int serve_register_request(RegisterModel& model, unsigned long request_code,
                           RegisterRequest& request) {
    if (request_code != kRegisterIoctl) return ENOTTY;
    switch (request.op) {
        case kRegisterOpRead: return model.read(request.reg, request.value);
        case kRegisterOpWrite: return model.write(request.reg, request.value);
        default: return EINVAL;
    }
}

}  // namespace tarnvel::sim
