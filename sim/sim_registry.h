// The simulated adapter's registry: what the driver's setup leaves in the
// registry on either Windows family, and the device path of its instance.
#pragma once

#include <memory>
#include <string_view>

#include "sim/sim_adapter.h"

namespace hx::sim {

enum class Family { kNt, k9x };

// The setup as .reg text (sim/registry/nt_adapter.reg, 9x_adapter.reg).
std::string_view RegistrySetup(Family family);

// What discovery finds with either setup.
inline constexpr const char* kInstanceId = "{5F1C2A3B-7D4E-4A6B-9C8D-0E1F2A3B4C5D}";
inline constexpr const char* kNtAdapterKey =
    "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007";
inline constexpr const char* k9xAdapterKey = "System\\CurrentControlSet\\Services\\Class\\Net\\0003";
inline constexpr const char* k9xTransportKey = "System\\CurrentControlSet\\Services\\Class\\NetTrans\\0000";
inline constexpr const char* k9xAdapterName = "0003";

// Makes the adapter answer the instance's device path ("\\.\" + the
// instance id), as the NT family's driver does for a present adapter; the
// returned owner withdraws the path again.
class InstancePath {
 public:
  explicit InstancePath(std::shared_ptr<SimAdapter> adapter, std::string_view instance = kInstanceId);
  ~InstancePath();
  InstancePath(const InstancePath&) = delete;
  InstancePath& operator=(const InstancePath&) = delete;

 private:
  std::string path_;
};

}  // namespace hx::sim
