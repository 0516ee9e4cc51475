#include "u_DisplayOptions.h"

#include <algorithm>
#include <iterator>

#include "u_BookCheck.h"

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

// Reads attributes of one element with their "absent" defaults. A value that does not convert
// goes to the sink; where it collects, the default stands, so the author hears of every one.
class TReader {
  template <class F, class D>
  auto Keyed(const char* name, D def, F&& read) const -> D {
    try {
      return read();
    } catch (Exception& e) {
      e.AddWhere(std::string("key ") + name);
      const TXMLAttribute* a = FAttributes.Find(name);
      FSink.Failure("System.xml", a ? a->Line : 0, e);
      return def;
    }
  }

public:
  TReader(const TXMLNode* element, IBookSink& sink) : FAttributes(element->Attributes), FSink(sink) {}
  std::string Text(const char* name, const char* def) const {
    return Keyed(name, std::string(def), [&] { return FAttributes.ValueOf(name, TXMLValue::Text(def)).AsText(); });
  }
  bool Boolean(const char* name, bool def) const {
    return Keyed(name, def, [&] { return FAttributes.ValueOf(name, TXMLValue::Boolean(def)).AsBoolean(); });
  }
  std::int32_t Integer(const char* name, std::int32_t def) const {
    return Keyed(name, def, [&] { return FAttributes.ValueOf(name, TXMLValue::Integer(def)).AsInteger(); });
  }
  // An enumeration's text; one the viewer does not know silently becomes the first value, which
  // the author is told.
  template <class E, std::size_t N>
  E Enumeration(const char* name, const char* def, const char* const (&names)[N]) const {
    const std::string text = Text(name, def);
    if (std::none_of(std::begin(names), std::end(names), [&](const char* n) { return SameAsciiText(text, n); })) {
      std::string known;
      for (const char* n : names) known += (known.empty() ? "" : ", ") + std::string(n);
      FSink.Error("System.xml", FAttributes.Find(name)->Line,
                     "Key " + std::string(name) + ": \"" + text + "\" is none of " + known + "; " + names[0] + " is used");
    }
    return EnumOf<E>(text, names);
  }

private:
  const TXMLAttributes& FAttributes;
  IBookSink& FSink;
};

}  // namespace

TSplashType SplashTypeOf(const std::string& text) { return EnumOf<TSplashType>(text, SplashTypeNames); }

TToolbarPlacement ToolbarPlacementOf(const std::string& text) {
  return EnumOf<TToolbarPlacement>(text, ToolbarPlacementNames);
}

void TSplashOptions::Load(const TXMLNode* element, IBookSink& sink) {
  if (!element) return;
  TReader r(element, sink);
  PopUpTextS = r.Text("PopUpTextS", "");
  PopUpTextE = r.Text("PopUpTextE", "");
  SplashTypeS = r.Enumeration<TSplashType>("SplashTypeS", "vsNone", SplashTypeNames);
  SplashTypeE = r.Enumeration<TSplashType>("SplashTypeE", "vsNone", SplashTypeNames);
  Interval = r.Integer("Interval", 3);
  CloseOnClick = r.Boolean("CloseOnClick", false);
}

void TToolbarOptions::Load(const TXMLNode* element, IBookSink& sink) {
  if (!element) return;
  TReader r(element, sink);
  ToolbarPlacement = r.Enumeration<TToolbarPlacement>("ToolbarPlacement", "tpTop", ToolbarPlacementNames);
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
