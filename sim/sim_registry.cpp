#include "sim/sim_registry.h"

#include <string>

namespace hx::sim {

InstancePath::InstancePath(std::shared_ptr<SimAdapter> adapter, std::string_view instance)
    : path_("\\\\.\\" + std::string(instance)) {
  platform::RegisterDevice(path_, std::move(adapter));
}

InstancePath::~InstancePath() {
  platform::UnregisterDevice(path_);
}

}  // namespace hx::sim
