#include "crs/projhandle.h"

#include <utility>

#include "common/errors.h"

namespace crs {

tprojcontext::tprojcontext() : context_(proj_context_create()) {
  if (!context_) throw NabikError("PROJ cannot start: out of memory");
  proj_log_func(context_.get(), this, [](void* self, int level, const char* text) {
    if (level <= PJ_LOG_ERROR && text != nullptr) static_cast<tprojcontext*>(self)->message_ = text;
  });
}

std::string tprojcontext::TakeMessage() {
  return std::exchange(message_, {});
}

std::string AsCrsDefinition(std::string text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
    return "EPSG:" + text;
  const bool projString = text.starts_with("+proj=") || text.starts_with("proj=") ||
                          text.starts_with("+init=") || text.starts_with("init=");
  if (projString && text.find("type=crs") == std::string::npos) text += " +type=crs";
  return text;
}

}  // namespace crs
