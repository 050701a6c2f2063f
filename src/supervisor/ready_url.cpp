#include "supervisor/ready_url.hpp"

namespace zp {

std::optional<std::string> ZPReadyURL(std::optional<std::string_view>) { return std::nullopt; }

}  // namespace zp
