// The 22 local API routes the connection server may use.
#include <array>
#include <string_view>

#include "base/text.h"
#include "connector/worker.h"

namespace tolvenar {

namespace {
constexpr std::array<std::string_view, 22> AllowedRoutes = {
    "/api/v1/auth/login",
    "/api/v1/auth/logout",
    "/api/v1/dashboard/summary",
    "/api/v1/dashboard/legacy",
    "/api/v1/sales/indicators",
    "/api/v1/sales/sellers",
    "/api/v1/sales/sections",
    "/api/v1/sales/peak-hours",
    "/api/v1/sales/list",
    "/api/v1/sales/document",
    "/api/v1/finance/dre",
    "/api/v1/finance/chart-of-accounts",
    "/api/v1/people/search",
    "/api/v1/products/search",
    "/api/v1/purchases/search",
    "/api/v1/purchases/document",
    "/api/v1/ia/chat",
    "/api/v1/client",
    "/api/v1/database/health",
    "/api/v1/secure/ping",
    "/health",
    "/api/v1/health",
};
}  // namespace

bool TTolvenarConnectorWorker::IsRouteAllowed(const std::string& path) {
  // Whole paths, ASCII letters folded; nothing trimmed or decoded.
  for (std::string_view route : AllowedRoutes) {
    if (SameTextAscii(path, route)) return true;
  }
  return false;
}

}  // namespace tolvenar
