// Presentation settings a book declares in System.xml: the splash screens and the toolbar.
#pragma once

#include <cstdint>
#include <string>

#include "u_BookSink.h"
#include "u_SpaceXMLParser.h"

enum TSplashType : std::uint8_t { vsNone = 0, vsPopUp = 1, vsSplash = 2 };
enum TToolbarPlacement : std::uint8_t { tpTop = 0, tpBottom = 1, tpNoToolbar = 2 };

// The fields hold the values at creation until Load reads an element; an element that lacks an
// attribute gives that field its "absent" default, which for some fields differs.
struct TSplashOptions {
  std::string PopUpTextS = "Starting pop-up text...";
  std::string PopUpTextE = "Ending pop-up text...";
  TSplashType SplashTypeS = vsNone;
  TSplashType SplashTypeE = vsNone;
  std::int32_t Interval = 3;
  bool CloseOnClick = false;

  // Reads the "splash" element; none leaves the values as they are. A conversion error goes to
  // the sink; where it collects, the key keeps its default.
  void Load(const TXMLNode* element, IBookSink& sink = RaisingBookSink());
};

struct TToolbarOptions {
  TToolbarPlacement ToolbarPlacement = tpTop;
  bool LogoDisplay = false;
  std::uint32_t ToolbarTextColor = 0;  // red in the lowest byte, then green, then blue
  std::uint32_t ToolbarBackColor = 0;
  std::int32_t ToolbarBtnW = 32;
  std::int32_t ToolbarBtnH = 32;
  std::int32_t ToolbarImgW = 24;
  std::int32_t ToolbarImgH = 24;
  bool ToolbarShowCaption = false;
  bool ToolbarFlat = false;
  std::string LogoLink;
  std::string LogoText;

  // Reads the "toolbar" element, as TSplashOptions::Load.
  void Load(const TXMLNode* element, IBookSink& sink = RaisingBookSink());
};

// The enumeration value whose name equals the text ignoring the case of ASCII letters, or the
// first value.
TSplashType SplashTypeOf(const std::string& text);
TToolbarPlacement ToolbarPlacementOf(const std::string& text);
