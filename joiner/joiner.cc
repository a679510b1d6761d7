#include "joiner/joiner.h"

namespace {

using platform::console;
using platform::copy_result;
using platform::publish_result;

bool report(const console& c, const message& what, const std::string& path,
            const platform::failure& why) {
  platform::write_failure(c, {what, path, messages::error_end}, why);
  return false;
}

// Every segment, in order, to the end of out; false at the first failure, or
// at an interruption. *joined gets each piece with the bytes moved from it.
bool append_all(const console& c, const std::string& folder, const NameList& names,
                const std::string& output_path, platform::output_file* out,
                platform::progress_title* progress, std::vector<joined_piece>* joined) {
  // One path for every piece: the folder's part stays, the name after it changes.
  std::string path = platform::join_path(folder, "");
  const std::size_t folder_part = path.size();
  const platform::piece_folder pieces(folder);
  for (std::size_t i = 0; i < names.size(); ++i) {
    path.resize(folder_part);
    path += names[i];
    platform::write_line(c, platform::stream::output, {path});
    platform::input_file in;
    platform::failure why;
    if (!in.open(pieces, names[i], path, &why)) return report(c, messages::open_file, path, why);
    // A segment that is the output itself would make the join read what it writes.
    if (out->is(in)) return report(c, messages::open_file, path, {0, reasons::the_output});
    progress->start_piece(i, in.size());
    std::uint64_t moved = 0;
    const copy_result copied = out->append(in, progress, &moved, &why);
    if (copied == copy_result::read_failed) return report(c, messages::read_file, path, why);
    if (copied == copy_result::write_failed)
      return report(c, messages::write_file, output_path, why);
    if (copied == copy_result::interrupted) return false;
    joined->push_back({names[i], moved});
  }
  return true;
}

join_result publish(const console& c, const std::string& folder, const std::string& output_path,
                    platform::output_file* out) {
  platform::failure why;
  const publish_result published = out->publish(folder, output_path, &why);
  if (published == publish_result::published) return join_result::joined;
  if (published == publish_result::exists) return join_result::exists;
  report(c, messages::write_file, output_path, why);
  return join_result::failed;
}

}  // namespace

join_outcome join_files(const console& c, const std::string& folder, const std::string& out_name,
                        const NameList& names, const std::string& tool_folder,
                        std::vector<joined_piece>* joined) {
  const std::string output_path = platform::join_path(folder, out_name);
  std::string unusable = output_path;
  // From here until the output is published or gone, an interruption is
  // noted instead of ending the run, so that nothing unfinished outlives it.
  platform::interruption_guard guard;
  platform::progress_title progress(c, out_name, names.size());
  platform::output_file out;
  platform::failure why;
  join_result result = join_result::failed;
  if (!out.create(folder, tool_folder, &unusable, &why))
    report(c, messages::open_file, unusable, why);
  else if (append_all(c, folder, names, output_path, &out, &progress, joined))
    result = publish(c, folder, output_path, &out);
  // The unfinished output goes while the guard still notes: an interruption
  // during this cleanup is handed back like one during the join. Then the
  // title, whose sequence a note would hold back.
  out.discard();
  const int interruption = guard.give_back();
  progress.restore();
  return {result, interruption};
}
