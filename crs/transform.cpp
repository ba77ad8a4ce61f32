#include "crs/transform.h"

#include <algorithm>
#include <cmath>

#include "common/errors.h"

namespace crs {

tvertextransformer::tvertextransformer(const ttargetcrs& target)
    : targetDefinition_(target.Definition()),
      targetName_(target.Name()),
      target_(proj_create(context_.get(), targetDefinition_.c_str())) {
  if (!target_) throw NabikError("PROJ no longer reads the CRS " + target.Name());
}

PJ* tvertextransformer::Operation(int sourceEpsg) {
  for (tsourceop& op : ops_)
    if (op.Epsg == sourceEpsg) return op.Op.get();
  PJ_CONTEXT* ctx = context_.get();
  const std::string sourceName = "EPSG:" + std::to_string(sourceEpsg);
  tprojobject source(proj_create(ctx, sourceName.c_str()));
  // With no area given, PROJ keeps every candidate whose grids are installed and picks among
  // them by each vertex's position.
  tprojobject op;
  if (source)
    op.reset(proj_create_crs_to_crs_from_pj(ctx, source.get(), target_.get(), nullptr, nullptr));
  // Longitude before latitude in, easting before northing out, whatever the CRSs' axis order.
  if (op) op.reset(proj_normalize_for_visualization(ctx, op.get()));
  if (!op) {
    const std::string message = context_.TakeMessage();
    throw NabikError("PROJ has no transformation from " + sourceName + " to " + targetName_ +
                     (message.empty() ? "" : ": " + message));
  }
  ops_.push_back({sourceEpsg, std::move(op)});
  return ops_.back().Op.get();
}

size_t tvertextransformer::Transform(int sourceEpsg, double* x, double* y, size_t count) {
  if (count == 0) return 0;
  PJ* op = Operation(sourceEpsg);
  proj_trans_generic(op, PJ_FWD, x, sizeof(double), count, y, sizeof(double), count, nullptr, 0, 0,
                     nullptr, 0, 0);
  proj_errno_reset(op);
  context_.TakeMessage();
  size_t failed = 0;
  for (size_t i = 0; i < count; ++i) failed += !std::isfinite(x[i]) || !std::isfinite(y[i]);
  return failed;
}

std::string tvertextransformer::OperationName(int sourceEpsg) {
  PJ* op = Operation(sourceEpsg);
  tprojobject used(proj_trans_get_last_used_operation(op));
  const char* name = proj_get_name(used ? used.get() : op);
  return name != nullptr ? name : "";
}

std::string tvertextransformer::Caveats(int sourceEpsg, const tcrsbox& lonLat) {
  PJ* op = Operation(sourceEpsg);
  // The transformation PROJ takes in the middle of the box.
  double x = (lonLat.MinX + lonLat.MaxX) / 2, y = (lonLat.MinY + lonLat.MaxY) / 2;
  Transform(sourceEpsg, &x, &y, 1);
  tprojobject used(proj_trans_get_last_used_operation(op));
  std::string caveats;
  if (proj_coordoperation_has_ballpark_transformation(context_.get(), used ? used.get() : op))
    caveats = "PROJ knows no transformation from EPSG:" + std::to_string(sourceEpsg) + " to " +
              targetName_ +
              " and ignores the difference of their datums, which can be hundreds of metres\n";
  return caveats + MissingGrids(sourceEpsg, lonLat);
}

std::string tvertextransformer::MissingGrids(int sourceEpsg, const tcrsbox& lonLat) {
  PJ_CONTEXT* ctx = context_.get();
  const std::string sourceName = "EPSG:" + std::to_string(sourceEpsg);
  tprojobject source(proj_create(ctx, sourceName.c_str()));
  PJ_OPERATION_FACTORY_CONTEXT* factory = proj_create_operation_factory_context(ctx, nullptr);
  if (!source || factory == nullptr) {
    proj_operation_factory_context_destroy(factory);
    return {};
  }
  proj_operation_factory_context_set_spatial_criterion(ctx, factory,
                                                       PROJ_SPATIAL_CRITERION_PARTIAL_INTERSECTION);
  proj_operation_factory_context_set_grid_availability_use(ctx, factory,
                                                           PROJ_GRID_AVAILABILITY_IGNORED);
  proj_operation_factory_context_set_area_of_interest(ctx, factory, lonLat.MinX, lonLat.MinY,
                                                      lonLat.MaxX, lonLat.MaxY);
  PJ_OBJ_LIST* candidates = proj_create_operations(ctx, source.get(), target_.get(), factory);
  proj_operation_factory_context_destroy(factory);
  // The candidates come best first: each missing grid is named with the first that needs it.
  std::string missing;
  std::vector<std::string> named;
  for (int i = 0; candidates != nullptr && i < proj_list_get_count(candidates); ++i) {
    tprojobject candidate(proj_list_get(ctx, candidates, i));
    if (!candidate || proj_coordoperation_is_instantiable(ctx, candidate.get())) continue;
    for (int g = 0; g < proj_coordoperation_get_grid_used_count(ctx, candidate.get()); ++g) {
      const char* grid = nullptr;
      int available = 1;
      if (!proj_coordoperation_get_grid_used(ctx, candidate.get(), g, &grid, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, &available) ||
          available || grid == nullptr ||
          std::find(named.begin(), named.end(), grid) != named.end())
        continue;
      named.push_back(grid);
      missing += std::string("PROJ would use ") + proj_get_name(candidate.get()) +
                 " here, but its grid " + grid + " is not installed\n";
    }
  }
  proj_list_destroy(candidates);
  context_.TakeMessage();
  return missing;
}

double RingArea2(const double* x, const double* y, size_t count) {
  if (count < 3) return 0;
  // About the first vertex: easting and northing of hundreds of kilometres would otherwise
  // swallow a small building's area in rounding.
  const double x0 = x[0], y0 = y[0];
  double sum = 0;
  for (size_t i = 1; i + 1 < count; ++i)
    sum += (x[i] - x0) * (y[i + 1] - y0) - (x[i + 1] - x0) * (y[i] - y0);
  return sum;
}

bool MustReverseRing(const double* x, const double* y, size_t count, twinding wanted) {
  const double area2 = RingArea2(x, y, count);
  return wanted == twinding::Clockwise ? area2 > 0 : area2 < 0;
}

ttargetcheck CheckTargetHolds(const ttargetcrs& target, int sourceEpsg, const tcrsbox& lonLat) {
  constexpr int kSteps = 16;  // 17 x 17 points, edges included
  std::vector<double> xs, ys;
  for (int i = 0; i <= kSteps; ++i)
    for (int j = 0; j <= kSteps; ++j) {
      xs.push_back(lonLat.MinX + (lonLat.MaxX - lonLat.MinX) * i / kSteps);
      ys.push_back(lonLat.MinY + (lonLat.MaxY - lonLat.MinY) * j / kSteps);
    }
  ttargetcheck check;
  size_t failed = 0;
  std::string caveats;
  try {
    tvertextransformer transformer(target);
    failed = transformer.Transform(sourceEpsg, xs.data(), ys.data(), xs.size());
    if (failed == 0) caveats = transformer.Caveats(sourceEpsg, lonLat);
  } catch (const NabikError& e) {
    check.Error = e.what();
    return check;
  }
  check.Points = xs.size();
  check.Failed = failed;
  if (failed == xs.size()) {
    check.Error = "the CRS " + target.Name() + " cannot hold the data: PROJ fails on every point";
    return check;
  }
  if (failed > 0) {
    check.Error = "the CRS " + target.Name() + " cannot hold all of the data: PROJ fails on " +
                  std::to_string(failed) + " of " + std::to_string(xs.size()) +
                  " points over its extent";
    return check;
  }
  check.Holds = true;
  check.Box = {*std::min_element(xs.begin(), xs.end()), *std::min_element(ys.begin(), ys.end()),
               *std::max_element(xs.begin(), xs.end()), *std::max_element(ys.begin(), ys.end())};
  if (const auto& area = target.AreaOfUse()) {
    const bool inside = lonLat.MinX >= area->MinX && lonLat.MaxX <= area->MaxX &&
                        lonLat.MinY >= area->MinY && lonLat.MaxY <= area->MaxY;
    if (!inside)
      check.Note = "the data lies partly or wholly outside the area of use of " + target.Name() +
                   " (" + target.AreaName() + ")\n";
  }
  check.Note += caveats;
  if (!check.Note.empty()) check.Note.pop_back();
  return check;
}

std::optional<tcrsbox> MeshBox(std::string_view code) {
  std::string digits;
  for (char c : code) {
    if (c >= '0' && c <= '9')
      digits += c;
    else if (c != '-')
      return std::nullopt;
  }
  if (digits.size() != 4 && digits.size() != 6 && digits.size() != 8) return std::nullopt;
  auto digit = [&](size_t i) { return digits[i] - '0'; };
  // In minutes: a first-level square is 40' by 60', a second 5' by 7.5', a third 30" by 45".
  double south = (digit(0) * 10 + digit(1)) * 40.0, west = (digit(2) * 10 + digit(3) + 100) * 60.0;
  double height = 40, width = 60;
  if (digits.size() >= 6) {
    if (digit(4) > 7 || digit(5) > 7) return std::nullopt;
    south += digit(4) * 5.0;
    west += digit(5) * 7.5;
    height = 5, width = 7.5;
  }
  if (digits.size() == 8) {
    south += digit(6) * 0.5;
    west += digit(7) * 0.75;
    height = 0.5, width = 0.75;
  }
  return tcrsbox{west / 60, south / 60, (west + width) / 60, (south + height) / 60};
}

}  // namespace crs
