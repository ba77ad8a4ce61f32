// The default kanji font: Linux has no Windows font folder, so fontconfig names the file.
#include <fontconfig/fontconfig.h>

#include <memory>
#include <optional>
#include <string_view>

#include "common/paths.h"
#include "common/text.h"
#include "susetu/susetu.h"

namespace {

struct ConfigDeleter {
  void operator()(FcConfig* c) const { FcConfigDestroy(c); }
};
struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct FontSetDeleter {
  void operator()(FcFontSet* s) const { FcFontSetDestroy(s); }
};

// MapServer draws labels with TrueType and OpenType files only.
bool IsOutlineFontFile(std::string_view path) {
  const std::string ext = LowerSjis(FileExtPart(path));
  return ext == ".ttf" || ext == ".ttc" || ext == ".otf";
}

bool CoversJapanese(FcPattern* font) {
  FcLangSet* langs = nullptr;
  if (FcPatternGetLangSet(font, FC_LANG, 0, &langs) != FcResultMatch) return false;
  return FcLangSetHasLang(langs, reinterpret_cast<const FcChar8*>("ja")) != FcLangDifferentLang;
}

// The first font, best match first, that fontconfig offers for sans-serif:lang=ja and that
// really holds Japanese in an outline font file. A configuration of its own, released after
// the question, leaves the process-wide one (the windows' fonts) alone.
std::optional<std::string> FindJapaneseFontFile() {
  std::unique_ptr<FcConfig, ConfigDeleter> config(FcInitLoadConfigAndFonts());
  if (!config) return std::nullopt;
  std::unique_ptr<FcPattern, PatternDeleter> pattern(
      FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:lang=ja")));
  if (!pattern) return std::nullopt;
  FcConfigSubstitute(config.get(), pattern.get(), FcMatchPattern);
  FcDefaultSubstitute(pattern.get());
  FcResult result;
  std::unique_ptr<FcFontSet, FontSetDeleter> fonts(
      FcFontSort(config.get(), pattern.get(), FcFalse, nullptr, &result));
  if (!fonts) return std::nullopt;
  for (int i = 0; i < fonts->nfont; ++i) {
    FcChar8* file = nullptr;
    if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) != FcResultMatch) continue;
    const std::string path(reinterpret_cast<const char*>(file));
    if (IsOutlineFontFile(path) && CoversJapanese(fonts->fonts[i])) return path;
  }
  return std::nullopt;
}

}  // namespace

std::string DefaultKanjiFont() {
  if (auto file = FindJapaneseFontFile()) return *file;
  return ExeFolder() + "Fonts/msgothic.ttc";
}
