// Joins the numbered pieces lying in the folder that holds this tool's own
// folder, then waits for a key so that a double-clicked console stays open.

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "common/common.h"
#include "joiner/joiner.h"
#include "platform/platform.h"

namespace {

using platform::stream;
using platform::write_line;

// The path up to its last separator; the whole path when it has none.
std::string parent_folder(std::string path) {
  const std::size_t cut = find_last_char(path, platform::separator);
  if (cut != std::string::npos) path.resize(cut);
  return path;
}

// One line for each name noted, then one counting those not listed.
void write_noted(const platform::console& c, const message& label, const noted_names& noted) {
  for (const std::string& name : noted.names) write_line(c, stream::error, {label, name});
  if (!noted.more.empty())
    write_line(c, stream::error, {label, messages::another, noted.more, messages::not_listed});
}

// A whole output may still lack a piece the downloader lost, or hold a stray
// file: what the names say is told before the join is called complete.
void write_notices(const platform::console& c, const std::vector<joined_piece>& pieces) {
  const series_notices notices = check_series(pieces);
  write_noted(c, messages::missing_piece, notices.missing);
  write_noted(c, messages::extra_file, notices.extra);
  write_noted(c, messages::empty_piece, notices.empty);
  write_noted(c, messages::duplicate_piece, notices.duplicate);
}

// How a run ends: its exit status, whether it made the output, and the
// interruption that cut it short, 0 for none.
struct run_end {
  int status = 1;
  bool joined = false;
  int interruption = 0;
};

// Everything between finding the folders and the final prompt, under the
// folder's lock, so that runs in one folder take turns and the prompt of one
// never holds up the next.
run_end join_in(const platform::console& c, const std::string& folder,
                const std::string& tool_folder) {
  const platform::folder_lock lock(folder);
  // A run that died may have left its unfinished output here.
  platform::remove_leftovers(tool_folder);

  // A tool in the wrong place, or on a failing disk, shows where it looked.
  const std::string searched = folder.empty() ? std::string(1, platform::separator) : folder;
  NameList names;
  platform::failure why;
  std::string unreadable;
  // A listing cut short would join part of the pieces and call it complete.
  if (!list_files(folder, tool_folder, &names, &why, &unreadable)) {
    platform::write_failure(c, {messages::find_no_file}, why);
    const std::string entry = platform::join_path(folder, unreadable);
    if (!unreadable.empty()) write_line(c, stream::error, {messages::unreadable_entry, entry});
    write_line(c, stream::error, {messages::folder_searched, searched});
    return {};
  }
  sort_names(&names);
  if (names.size() < 2) {
    write_line(c, stream::error, {messages::too_few});
    write_line(c, stream::error, {messages::folder_searched, searched});
    return {};
  }

  // The second name may be no piece at all, and name no file: "." would be
  // the folder itself, which exists, and nothing would be generated.
  const std::string derived = derive_output_name(names);
  const std::string out_name = platform::file_name_as_made(derived);
  if (out_name.empty() || out_name == "." || out_name == "..") {
    write_line(c, stream::error, {messages::output_name_error});
    write_line(c, stream::error, {messages::the_name, derived, messages::names_no_file});
    return {};
  }
  const std::string out_path = platform::join_path(folder, out_name);
  join_outcome joined = {join_result::exists, 0};
  std::vector<joined_piece> pieces;
  if (!platform::path_exists(out_path)) {
    write_line(c, stream::output, {messages::making, out_name});
    write_line(c, stream::output, {});
    joined = join_files(c, folder, out_name, names, tool_folder, &pieces);
  }
  // Nothing more is said of a join cut short.
  if (joined.interruption) return {1, false, joined.interruption};
  // Also when something else took the name while this run joined.
  if (joined.result == join_result::exists) {
    write_line(c, stream::error, {messages::file_label, out_path, messages::already_made});
    return {0};
  }
  if (joined.result == join_result::failed) {
    write_line(c, stream::error, {messages::join_failed});
    return {};
  }
  write_notices(c, pieces);
  return {0, true};
}

}  // namespace

int main() {
  platform::prepare_process();
  const platform::console c = platform::find_console();

  run_end end;
  std::string exe;
  platform::failure why;
  if (platform::executable_path(&exe, &why)) {
    // The pieces lie two levels up, around the tool's own folder.
    const std::string tool_folder = parent_folder(exe);
    end = join_in(c, parent_folder(tool_folder), tool_folder);
  } else {
    platform::write_failure(c, {messages::program_path_error}, why);
  }
  if (!end.interruption) {
    // After a join the prompt follows the completion message, in the same write.
    if (end.joined)
      write_line(c, stream::output, {messages::join_done, messages::press_any_key});
    else
      write_line(c, stream::output, {messages::press_any_key});
    end.interruption = platform::wait_for_key();
  }
  // The one place where an interruption ends the run, whether it came during
  // the join (the title is back by now, and no unfinished output is left) or
  // at the prompt (the terminal has its modes back).
  if (end.interruption) platform::end_by(end.interruption);
  return end.status;
}
