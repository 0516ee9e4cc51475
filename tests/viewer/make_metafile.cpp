// Writes a small WMF or EMF picture with libuemf, so that the metafile tests and the sample book
// use files made by a metafile library rather than bytes we typed ourselves.
//
//   make_metafile wmf|emf OUT [SIZE [LINES]]
//
// The picture is SIZE×SIZE pixels (default 32) at 96 dpi, with a white background left undrawn,
// a blue filled rectangle over the left half, a red filled triangle in the lower right quarter and
// a black line along the top right quarter's diagonal, drawn LINES times (default once).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <uemf.h>
#include <uwmf.h>
}

namespace {

int MakeWmf(const char* out, int size, int lines) {
  WMFTRACK* wt = nullptr;
  WMFHANDLES* wht = nullptr;
  if (wmf_start(out, 1000000, 250000, &wt) || wmf_htable_create(128, 128, &wht)) return 1;
  U_PAIRF inches{static_cast<float>(size) / 96.0f, static_cast<float>(size) / 96.0f};
  wmf_header_append(reinterpret_cast<U_METARECORD*>(U_WMRHEADER_set(&inches, 96)), wt, 1);
  uint32_t pen = 0, blue = 0, red = 0;
  wmf_append(reinterpret_cast<U_METARECORD*>(wcreatepenindirect_set(&pen, wht, U_PEN_set(U_PS_SOLID, 1, colorref3_set(0, 0, 0)))), wt, 1);
  wmf_append(reinterpret_cast<U_METARECORD*>(wselectobject_set(pen, wht)), wt, 1);
  wmf_append(reinterpret_cast<U_METARECORD*>(wcreatebrushindirect_set(&blue, wht, U_WLOGBRUSH_set(U_BS_SOLID, colorref3_set(0, 0, 255), 0))), wt, 1);
  wmf_append(reinterpret_cast<U_METARECORD*>(wselectobject_set(blue, wht)), wt, 1);
  const int16_t s = static_cast<int16_t>(size), h = static_cast<int16_t>(size / 2);
  wmf_append(reinterpret_cast<U_METARECORD*>(U_WMRRECTANGLE_set(U_RECT16_set(point16_set(0, 0), point16_set(h, s)))), wt, 1);
  wmf_append(reinterpret_cast<U_METARECORD*>(wcreatebrushindirect_set(&red, wht, U_WLOGBRUSH_set(U_BS_SOLID, colorref3_set(255, 0, 0), 0))), wt, 1);
  wmf_append(reinterpret_cast<U_METARECORD*>(wselectobject_set(red, wht)), wt, 1);
  const U_POINT16 triangle[3] = {point16_set(h, s), point16_set(s, s), point16_set(s, h)};
  wmf_append(reinterpret_cast<U_METARECORD*>(U_WMRPOLYGON_set(3, triangle)), wt, 1);
  for (int i = 0; i < lines; ++i) {
    wmf_append(reinterpret_cast<U_METARECORD*>(U_WMRMOVETO_set(point16_set(h, h))), wt, 1);
    wmf_append(reinterpret_cast<U_METARECORD*>(U_WMRLINETO_set(point16_set(s, 0))), wt, 1);
  }
  wmf_append(reinterpret_cast<U_METARECORD*>(U_WMREOF_set()), wt, 1);
  int rc = wmf_finish(wt);
  wmf_free(&wt);
  wmf_htable_free(&wht);
  return rc;
}

int MakeEmf(const char* out, int size, int lines) {
  EMFTRACK* et = nullptr;
  EMFHANDLES* eht = nullptr;
  if (emf_start(out, 1000000, 250000, &et) || emf_htable_create(128, 128, &eht)) return 1;
  // A reference device of 1920×1080 pixels on 508×285.75 mm: 96 pixels to the inch.
  const U_SIZEL device = sizel_set(1920, 1080), millimetres = sizel_set(508, 286);
  const U_RECTL bounds = rectl_set(point32_set(0, 0), point32_set(size - 1, size - 1));
  const int frameEdge = size * 2540 / 96;  // 0.01 mm
  const U_RECTL frame = rectl_set(point32_set(0, 0), point32_set(frameEdge, frameEdge));
  uint16_t* description = U_Utf8ToUtf16le("make_metafile", 0, nullptr);
  int descriptionLength = static_cast<int>(std::strlen("make_metafile")) + 1;
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(U_EMRHEADER_set(bounds, frame, nullptr, descriptionLength, description, device, millimetres, 0)), et, 1);
  std::free(description);
  uint32_t pen = 0, blue = 0, red = 0;
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(createpen_set(&pen, eht, logpen_set(U_PS_SOLID, U_POINT{1, 1}, colorref3_set(0, 0, 0)))), et, 1);
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(selectobject_set(pen, eht)), et, 1);
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(createbrushindirect_set(&blue, eht, logbrush_set(U_BS_SOLID, colorref3_set(0, 0, 255), 0))), et, 1);
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(selectobject_set(blue, eht)), et, 1);
  const int h = size / 2;
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(U_EMRRECTANGLE_set(rectl_set(point32_set(0, 0), point32_set(h, size)))), et, 1);
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(createbrushindirect_set(&red, eht, logbrush_set(U_BS_SOLID, colorref3_set(255, 0, 0), 0))), et, 1);
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(selectobject_set(red, eht)), et, 1);
  const U_POINTL triangle[3] = {point32_set(h, size), point32_set(size, size), point32_set(size, h)};
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(U_EMRPOLYGON_set(rectl_set(point32_set(h, h), point32_set(size, size)), 3, triangle)), et, 1);
  for (int i = 0; i < lines; ++i) {
    emf_append(reinterpret_cast<U_ENHMETARECORD*>(U_EMRMOVETOEX_set(point32_set(h, h))), et, 1);
    emf_append(reinterpret_cast<U_ENHMETARECORD*>(U_EMRLINETO_set(point32_set(size, 0))), et, 1);
  }
  emf_append(reinterpret_cast<U_ENHMETARECORD*>(U_EMREOF_set(0, nullptr, et)), et, 1);
  int rc = emf_finish(et, eht);
  emf_free(&et);
  emf_htable_free(&eht);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: make_metafile wmf|emf OUT [SIZE [LINES]]\n");
    return 2;
  }
  const int size = argc >= 4 ? std::atoi(argv[3]) : 32;
  const int lines = argc == 5 ? std::atoi(argv[4]) : 1;
  if (size < 4 || size > 30000 || lines < 1 || lines > 10000000) return 2;
  const std::string kind = argv[1];
  int rc = kind == "wmf" ? MakeWmf(argv[2], size, lines) : kind == "emf" ? MakeEmf(argv[2], size, lines) : 2;
  if (rc) std::fprintf(stderr, "make_metafile: could not write %s\n", argv[2]);
  return rc ? 1 : 0;
}
