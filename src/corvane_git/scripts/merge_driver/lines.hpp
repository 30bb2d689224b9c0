// The fixed lines of the module's nominal source (the file that its code objects name, the
// module's source path): a traceback entry reports the first line of a function for a failure to
// bind its arguments, and else the line of the statement that failed. `def` is a function's first
// line; the other names are its statements, in source order.
#pragma once

namespace merge_driver::lines {

// The module body: what a failed load reports.
namespace load {
constexpr int frame = 1;  // builtins, version check, names, constants, code objects, __test__
constexpr int import_json = 18, import_logging = 19, import_os = 20, import_tempfile = 21,
              import_uuid = 22, import_typing = 23, import_git = 25, import_jsondiff = 26;
}  // namespace load

namespace merge_source {
constexpr int def = 29;
constexpr int tempdir = 30, current_path = 31, base_path = 32, incoming_path = 33;
constexpr int open_current = 34, open_base = 35, open_incoming = 36;
constexpr int write_current = 37, write_base = 38, write_incoming = 39;
constexpr int merge_file = 41, except_clause = 42;
constexpr int read_back = 46, new_lines = 47, each_line = 48;
constexpr int has_current_name = 49, replace_current = 50, has_incoming_name = 51,
              replace_incoming = 52, append = 53, result = 54;
}  // namespace merge_source

namespace cell_class { constexpr int def = 62, base = 65, current = 66, incoming = 67; }

namespace cell_init {
constexpr int def = 69, store_data = 70, check_side = 71, store_file_type = 72;
}

namespace cell_file_type {
constexpr int def = 74, is_current = 77, current = 78, is_incoming = 79, incoming = 80, base = 81;
}

// Accessors: each a one-statement body.
namespace cell_data_get { constexpr int def = 83, body = 86; }
namespace cell_data_set { constexpr int def = 88, body = 91; }
namespace cell_cell_id_get { constexpr int def = 93, body = 96; }
namespace cell_cell_id_set { constexpr int def = 98, body = 101; }
namespace cell_source_get { constexpr int def = 103, body = 106; }
namespace cell_source_set { constexpr int def = 108, body = 111; }
namespace cell_meta_data { constexpr int def = 113, body = 116; }
namespace cell_link_id_get { constexpr int def = 118, body = 121; }
namespace cell_link_id_set { constexpr int def = 123, body = 126; }
namespace cell_name_get { constexpr int def = 128, body = 131; }
namespace cell_name_set { constexpr int def = 133, body = 136; }
namespace cell_parents_get { constexpr int def = 138, body = 141; }
namespace cell_parents_set { constexpr int def = 143, body = 146; }
namespace cell_comments { constexpr int def = 148, body = 151; }
namespace cell_add_comment { constexpr int def = 153, body = 155; }

namespace cell_add_conflict_mark {
constexpr int def = 157, is_named = 161;
constexpr int is_current = 163, current_marked = 164, mark_current = 165;
constexpr int is_incoming = 166, incoming_marked = 167, mark_incoming = 168;
}  // namespace cell_add_conflict_mark

namespace cell_changed {
constexpr int def = 171, each_parent = 173, drop_parent_name = 174, diff = 176,
              drop_execution_count = 177, log = 178, result = 179;
}

namespace merge_files {
constexpr int def = 181;

// Reading a notebook: opening the file, then parsing it.
struct Read {
    int open, parse;
};
constexpr Read read_current{216, 217}, read_base{218, 219}, read_incoming{220, 221};
constexpr int current_cells = 223, merged_cells = 224, base_cells = 225, incoming_cells = 226;

// A diff without "outputs": testing for the key, then removing it.
struct WithoutOutputs {
    int test, drop;
};
// An incoming copy with fresh ids: the copy, its link_id, its cell_id.
struct FreshCopy {
    int copy, link_id, cell_id;
};
// A source merge of the decision: the call, the three sides' sources, the two labels.
struct SourceMerge {
    int call, ours, base, theirs, labels;
};

// Cells that our side deleted.
constexpr int deleted_each = 229, deleted_theirs_held = 230, deleted_their_diff = 233,
              deleted_take_theirs = 237, deleted_mark_theirs = 238;
constexpr int names_before_added = 240;

// Cells that their side added.
constexpr int added_each = 242, added_ours_held = 244;
constexpr WithoutOutputs added_outputs{244, 245};
constexpr FreshCopy added_fresh_copy{244, 245, 246};
constexpr int added_their_name = 245, added_name_held = 246, added_take_theirs = 247,
              added_mark_holder = 248, added_mark_theirs = 249, added_append_theirs = 253;

constexpr int git_handle = 255;

// Cells that base and our side both hold.
constexpr int both_each = 256, both_base_version = 257;
constexpr WithoutOutputs both_our_outputs{258, 259};
constexpr int both_we_changed = 260;

// ... our side changed the cell.
constexpr int changed_theirs_held = 262, changed_ours_named = 264, changed_mark_ours = 266,
              changed_their_diff = 268;
constexpr WithoutOutputs changed_their_outputs{269, 270};
constexpr int changed_they_changed = 271, changed_our_name = 274, changed_their_name = 275,
              changed_canvas = 277, changed_only_header = 281, changed_header_source = 283;
constexpr SourceMerge header_source_merge{285, 286, 287, 288, 289};
constexpr int changed_comments_header = 294, comment_each = 295, comment_in_base = 296,
              comment_in_merged = 297, comment_add = 299, changed_comments_source = 302;
constexpr SourceMerge comments_source_merge{304, 305, 306, 307, 308};
constexpr int changed_neither_named = 312;
constexpr SourceMerge unnamed_source_merge{315, 316, 317, 318, 319};
constexpr FreshCopy canvas_fresh_copy{323, 324, 325};
constexpr int canvas_both_named = 327, canvas_mark_ours = 328, canvas_mark_theirs = 329,
              canvas_insert_theirs = 332;
constexpr int changed_ours_named_flag = 339, changed_theirs_named_flag = 340;
constexpr FreshCopy named_once_fresh_copy{342, 343, 344};
constexpr int named_once_insert_theirs = 347;
constexpr SourceMerge both_source_merge{355, 356, 357, 358, 359};

// ... our side kept the cell.
constexpr int kept_theirs_held = 365, kept_names_before_removal = 369, kept_removed_name = 372,
              kept_name_is_text = 373, kept_conflict_named = 374, kept_conflict_id = 375,
              kept_rename_conflict = 377, kept_remove = 379, kept_names_before_theirs = 381,
              kept_their_diff = 385;
constexpr WithoutOutputs kept_their_outputs{386, 387};
constexpr int kept_they_changed = 389, kept_their_name = 392, kept_name_held = 393,
              kept_take_theirs = 395, kept_mark_holder = 396, kept_mark_theirs = 397,
              kept_replace_with_theirs = 401;

// Component parents.
constexpr int comp_ids = 404, new_parents = 406, set_parents = 407;

// Parameters.
constexpr int current_parameters = 421, base_parameters = 422, incoming_parameters = 423,
              merged_parameters = 425;
constexpr int both_names = 426, ours_changed = 428, their_deleted = 430, mark_ours_deleted = 431,
              drop_ours_deleted = 433, theirs_as_base = 435, theirs_as_ours = 438,
              conflict_mark_ours = 442, conflict_mark_theirs = 444, conflict_drop = 446,
              kept_their_deleted = 449, kept_drop = 450, kept_theirs_as_base = 452,
              kept_take_their_parameter = 455;
constexpr int we_deleted_names = 460, we_deleted_theirs_held = 461, we_deleted_they_changed = 463,
              we_deleted_mark_theirs = 465;
constexpr int they_added_names = 468, they_added_ours_held = 470, added_equal = 475,
              added_differ = 476, added_mark_ours = 477, added_mark_theirs_parameter = 478,
              added_drop = 480, added_take_theirs_parameter = 483;

// The output.
constexpr int copy_current = 485, output_cells = 486, output_parameters = 487, open_output = 488,
              write_output = 489;
}  // namespace merge_files

// merge_notebooks shares the statements of merge_files after the reading.
namespace merge_notebooks { constexpr int def = merge_files::def; }
// merge_sources shares the statements of _merge_source.
namespace merge_sources { constexpr int def = merge_source::def; }

// The module merge_core: nothing is imported at load, so a failed load reports its first line.
namespace core_load { constexpr int frame = 1; }

}  // namespace merge_driver::lines
