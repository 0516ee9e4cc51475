#include "u_CabWriter.h"

#include <memory>

#include <gio/gio.h>
#include <libgcab.h>

#include "u_CodePage.h"

namespace {

template <class T>
struct TGObjectDeleter {
  void operator()(T* p) const { g_object_unref(p); }
};
template <class T>
using TGObject = std::unique_ptr<T, TGObjectDeleter<T>>;

[[noreturn]] void Fail(const char* what, GError* error) {
  std::string message = std::string(what) + (error ? std::string(": ") + error->message : std::string());
  if (error) g_error_free(error);
  throw ECabWriterError(message);
}

}  // namespace

std::string BuildCabinet(const std::vector<TCabMember>& members) {
  TGObject<GCabCabinet> cabinet(gcab_cabinet_new());
  TGObject<GCabFolder> folder(gcab_folder_new(GCAB_COMPRESSION_MSZIP));
  for (const TCabMember& m : members) {
    // The members outlive the writing: libgcab reads them in place instead of a copy.
    GBytes* bytes = g_bytes_new_static(m.Data.data(), m.Data.size());
    TGObject<GCabFile> file(gcab_file_new_with_bytes(ToUtf8(m.Name).c_str(), bytes));
    g_bytes_unref(bytes);
    std::uint32_t d = m.DosDateTime;
    GDateTime* when = g_date_time_new_utc(static_cast<gint>((d >> 25) + 1980), static_cast<gint>((d >> 21) & 15),
                                          static_cast<gint>((d >> 16) & 31), static_cast<gint>((d >> 11) & 31),
                                          static_cast<gint>((d >> 5) & 63), static_cast<gdouble>((d & 31) * 2));
    if (when) {
      gcab_file_set_date_time(file.get(), when);
      g_date_time_unref(when);
    }
    gcab_file_set_attributes(file.get(), m.Attributes);
    GError* error = nullptr;
    if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, &error)) Fail("Cannot add a Cabinet member", error);
  }
  GError* error = nullptr;
  if (!gcab_cabinet_add_folder(cabinet.get(), folder.get(), &error)) Fail("Cannot add the Cabinet folder", error);
  // Written straight into the string that is returned, sized for the worst case (every block
  // stored): no growing buffer that doubles, and no copy of the finished Cabinet.
  std::size_t input = 0;
  for (const TCabMember& m : members) input += m.Data.size() + m.Name.size() + 64;
  std::string cab(input + input / 1024 + 65536, '\0');
  TGObject<GOutputStream> out(g_memory_output_stream_new(cab.data(), cab.size(), nullptr, nullptr));
  if (!gcab_cabinet_write_simple(cabinet.get(), out.get(), nullptr, nullptr, nullptr, &error))
    Fail("Cannot write the Cabinet", error);
  if (!g_output_stream_close(out.get(), nullptr, &error)) Fail("Cannot write the Cabinet", error);
  cab.resize(g_memory_output_stream_get_data_size(G_MEMORY_OUTPUT_STREAM(out.get())));
  return cab;
}
