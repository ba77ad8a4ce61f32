#pragma once
// Owning handles for PROJ's context and objects, and the context setup every user of PROJ here
// shares. A context belongs to one thread at a time; every object made in it stays with it.
#include <proj.h>

#include <memory>
#include <string>

namespace crs {

struct tprojdeleter {
  void operator()(PJ* object) const { proj_destroy(object); }
  void operator()(PJ_CONTEXT* context) const { proj_context_destroy(context); }
};
using tprojobject = std::unique_ptr<PJ, tprojdeleter>;

// A context that keeps PROJ's messages instead of printing them: the last one is part of the
// error text a caller shows.
class tprojcontext {
 public:
  tprojcontext();
  tprojcontext(const tprojcontext&) = delete;
  tprojcontext& operator=(const tprojcontext&) = delete;

  PJ_CONTEXT* get() const { return context_.get(); }
  // PROJ's last error message since the last call ("" when it gave none); clears it.
  std::string TakeMessage();

 private:
  std::unique_ptr<PJ_CONTEXT, tprojdeleter> context_;
  std::string message_;
};

// A PROJ string (starting "+proj=" or "proj=") without "type=crs" names an operation to PROJ,
// not a CRS; users mean the CRS, as GDAL reads such strings. A bare number is an EPSG code
// ("6677"). Other texts come back unchanged.
std::string AsCrsDefinition(std::string text);

}  // namespace crs
