#include "pool/account/containment.h"

#include "pool/posix/system_error.h"

namespace moxtile {

WorldPlan world_plan(const ContainmentSettings& settings, const std::string& home) {
  WorldPlan plan;
  plan.private_places.assign(std::begin(kPrivatePlaces), std::end(kPrivatePlaces));
  plan.place_size_bytes = settings.private_space_mib << 20;
  plan.shown_directory = home;
  plan.private_network = settings.cut_network;
  plan.accept_less = settings.accept_less;
  return plan;
}

ContainmentReport probe_containment(const ContainmentSettings& settings) {
  ContainmentReport report;
  auto world = PrivateWorld::make(world_plan(settings, ""));
  if (world) {
    report.layers = world->layers();
  } else {
    report.error = system_error_text(world.error());
  }
  return report;
}

}  // namespace moxtile
