// The chain of routes: which ones are still worth trying, in which order, and what each answer
// does to them.
#include <cerrno>
#include <iterator>

#include "ata.h"
#include "disk.h"

std::atomic<std::uint8_t> ata_method_mask{ATA_ROUTES_ALL};
std::atomic<bool> ata_scsi_route_enabled{true};

namespace {

constexpr std::uint8_t ROUTE_USB = 0x08;  // beside the mask, whose values for the first three are fixed

struct Route {
  const char* name;
  std::uint8_t bit;
  bool (*carries)(const std::uint8_t* regs, int len);
  int (*send)(int handle, std::uint8_t* regs, void* data, int len);
};

constexpr Route ROUTES[] = {
    {"ATA", ATA_ROUTE_ATA, [](const std::uint8_t*, int) { return true; },
     [](int handle, std::uint8_t* regs, void* data, int len) {
       return ata_route_ata(ATA_LAYOUT_NATIVE, handle, regs, data, len);
     }},
    {"IDE", ATA_ROUTE_IDE, [](const std::uint8_t*, int len) { return len >= 0; }, ata_route_ide},
    {"SMART", ATA_ROUTE_SMART, [](const std::uint8_t* regs, int) { return regs[REG_COMMAND] == ATA_CMD_IDENTIFY_DEVICE; },
     [](int handle, std::uint8_t* regs, void* data, int len) { return ata_route_smart(handle, regs, data, len); }},
    {"USB/SAT", ROUTE_USB, [](const std::uint8_t*, int len) { return len >= 0 && len <= ATA_MAX_DATA; },
     [](int handle, std::uint8_t* regs, void* data, int len) {
       return ata_route_scsi(SCSI_LAYOUT_NATIVE, handle, regs, data, len);
     }},
};
constexpr std::size_t ROUTE_COUNT = std::size(ROUTES);
static_assert(ROUTE_COUNT == sizeof DiskRoutes::passing);

// Commands in a row that each route failed in passing while a later route answered.
std::atomic<std::uint8_t> passing_failures[ROUTE_COUNT];
// The route that answered last, or -1.
std::atomic<int> last_answered{-1};

bool enabled(std::uint8_t bit) {
  return bit == ROUTE_USB ? ata_scsi_route_enabled.load() : (ata_method_mask.load() & bit) != 0;
}

void give_up(std::uint8_t bit) {
  if (bit == ROUTE_USB)
    ata_scsi_route_enabled = false;
  else
    ata_method_mask.fetch_and(static_cast<std::uint8_t>(~bit));
}

// Route `answered` has answered: routes before it that failed in passing come one step nearer to
// being given up, and its own count starts again.
void settle(std::size_t answered, const bool (&passed_over)[ROUTE_COUNT]) {
  for (std::size_t i = 0; i < answered; ++i)
    if (passed_over[i] && passing_failures[i].fetch_add(1) + 1 >= ROUTE_PASSING_LIMIT) give_up(ROUTES[i].bit);
  passing_failures[answered] = 0;
  last_answered = static_cast<int>(answered);
}

}  // namespace

int ata_command(int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len) {
  bool passed_over[ROUTE_COUNT] = {};
  bool any_passed_over = false, not_found = false;
  for (std::size_t i = 0; i < ROUTE_COUNT; ++i) {
    const Route& route = ROUTES[i];
    if (!enabled(route.bit) || !route.carries(regs, len)) continue;
    const int result = route.send(handle, regs, data, len);
    if (result != 0 && errno == ENOSYS) {
      give_up(route.bit);
    } else if (result != 0 && (errno == ROUTE_PASSING || errno == ENOENT)) {
      not_found = not_found || errno == ENOENT;
      passed_over[i] = any_passed_over = true;
    } else {
      if (result == 0 || errno == EIO) settle(i, passed_over);
      return result;
    }
  }
  errno = not_found ? ENOENT : any_passed_over ? EIO : ENOSYS;
  return -1;
}

void disk_forget_routes() {
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
  for (auto& count : passing_failures) count = 0;
  last_answered = -1;
}

const char* disk_route() {
  const int route = last_answered.load();
  return route < 0 ? nullptr : ROUTES[route].name;
}

DiskRoutes disk_routes() {
  DiskRoutes routes{ata_method_mask.load(), ata_scsi_route_enabled.load(), {}, last_answered.load()};
  for (std::size_t i = 0; i < ROUTE_COUNT; ++i) routes.passing[i] = passing_failures[i].load();
  return routes;
}

void disk_set_routes(const DiskRoutes& routes) {
  ata_method_mask = routes.mask;
  ata_scsi_route_enabled = routes.usb;
  for (std::size_t i = 0; i < ROUTE_COUNT; ++i) passing_failures[i] = routes.passing[i];
  last_answered = routes.answered;
}
