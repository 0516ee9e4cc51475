// The toolbar pictures quirelle-pack --new gives a new book, drawn here: 24 x 24 BMP pictures
// on a magenta background, which the top-left pixel makes transparent. Needs a QGuiApplication.
#pragma once

#include <string>

// The picture named (a file name of NewBookPictureFiles, without folder and extension: "next",
// "print", ...) as the bytes of a BMP file.
std::string ToolbarPictureBmp(const std::string& name);
