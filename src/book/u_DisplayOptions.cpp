#include "u_DisplayOptions.h"

#include <iterator>

namespace {

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

template <class E, std::size_t N>
E EnumOf(const std::string& text, const char* const (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i)
    if (SameAsciiText(text, names[i])) return static_cast<E>(i);
  return static_cast<E>(0);
}

const char* const SplashTypeNames[] = {"vsNone", "vsPopUp", "vsSplash"};
const char* const ToolbarPlacementNames[] = {"tpTop", "tpBottom", "tpNoToolbar"};

// Reads attributes of one element with their "absent" defaults.
class TReader {
  // A value that does not convert names its key.
  template <class F>
  static auto Keyed(const char* name, F&& read) {
    try {
      return read();
    } catch (Exception& e) {
      e.AddWhere(std::string("key ") + name);
      throw;
    }
  }

public:
  explicit TReader(const TXMLNode* element) : FAttributes(element->Attributes) {}
  std::string Text(const char* name, const char* def) const {
    return Keyed(name, [&] { return FAttributes.ValueOf(name, TXMLValue::Text(def)).AsText(); });
  }
  bool Boolean(const char* name, bool def) const {
    return Keyed(name, [&] { return FAttributes.ValueOf(name, TXMLValue::Boolean(def)).AsBoolean(); });
  }
  std::int32_t Integer(const char* name, std::int32_t def) const {
    return Keyed(name, [&] { return FAttributes.ValueOf(name, TXMLValue::Integer(def)).AsInteger(); });
  }

private:
  const TXMLAttributes& FAttributes;
};

}  // namespace

TSplashType SplashTypeOf(const std::string& text) { return EnumOf<TSplashType>(text, SplashTypeNames); }

TToolbarPlacement ToolbarPlacementOf(const std::string& text) {
  return EnumOf<TToolbarPlacement>(text, ToolbarPlacementNames);
}

void TSplashOptions::Load(const TXMLNode* element) {
  if (!element) return;
  TReader r(element);
  PopUpTextS = r.Text("PopUpTextS", "");
  PopUpTextE = r.Text("PopUpTextE", "");
  SplashTypeS = SplashTypeOf(r.Text("SplashTypeS", "vsNone"));
  SplashTypeE = SplashTypeOf(r.Text("SplashTypeE", "vsNone"));
  Interval = r.Integer("Interval", 3);
  CloseOnClick = r.Boolean("CloseOnClick", false);
}

void TToolbarOptions::Load(const TXMLNode* element) {
  if (!element) return;
  TReader r(element);
  ToolbarPlacement = ToolbarPlacementOf(r.Text("ToolbarPlacement", "tpTop"));
  LogoDisplay = r.Boolean("LogoDisplay", false);
  ToolbarTextColor = static_cast<std::uint32_t>(r.Integer("ToolbarTextColor", 0));
  ToolbarBackColor = static_cast<std::uint32_t>(r.Integer("ToolbarBackColor", 0));
  ToolbarBtnW = r.Integer("ToolbarBtnW", 32);
  ToolbarBtnH = r.Integer("ToolbarBtnH", 32);
  ToolbarImgW = r.Integer("ToolbarImgW", 24);
  ToolbarImgH = r.Integer("ToolbarImgH", 24);
  ToolbarShowCaption = r.Boolean("ToolbarShowCaption", true);
  ToolbarFlat = r.Boolean("ToolbarFlat", false);
  LogoLink = r.Text("LogoLink", "");
  LogoText = r.Text("LogoText", "");
}
