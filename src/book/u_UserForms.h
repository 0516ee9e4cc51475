// The forms file: the pop-up windows a book describes and page scripts open by name. Data only;
// the viewer makes the windows.
#pragma once

#include <cstdint>
#include <string>

#include "u_Dictionary.h"
#include "u_Errors.h"

class TMFSSession;
class TXMLNode;

class EUserFormsError : public Exception { using Exception::Exception; };

enum TFormBorderStyle : std::uint8_t { bsNone, bsSingle, bsSizeable };
enum TFormBorderIcon : std::uint8_t { biSystemMenu = 1, biMinimize = 2, biMaximize = 4 };

struct TUserForm {
  TUserForm(const TXMLNode& element, std::string resolvedPath);

  std::string Path;  // absolute path of the form's page
  std::int32_t Line = 0;  // of its element in the forms file
  bool HideScrollBar = false;
  std::int32_t Width = -1, Height = -1, Top = -1, Left = -1;  // negative: the window's own
  TFormBorderStyle BorderStyle = bsSingle;
  std::uint8_t BorderIcons = 0;
  std::string Caption;
  bool Center = false;
};

class TUserForms {
public:
  // From the forms file's text; relative paths are taken from the session's current folder.
  // No session and no text: an empty list.
  TUserForms(TMFSSession* session, const std::string* text);

  TUserForm* FindForm(const std::string& name) const { return FForms.Find(name); }
  std::int32_t Count() const { return FForms.Count(); }
  template <class F>
  void ForEach(F&& f) const {
    FForms.ForEach([&](const std::string& name, TUserForm* form) { f(name, *form); });
  }

private:
  TObjectDictionary<TUserForm> FForms;
};
