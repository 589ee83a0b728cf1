// `rmsctl show --html`: one page with everything inline (no network, no
// other files): the connections, and the operation log lines that pass the
// command line's filter, which typing in the page (or "#text=..." in the
// address) narrows further.
#include "dump_view.h"

namespace comm_rms_tools {

namespace {

// Shown bytes, with the characters that mean something in HTML replaced.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : printable(text)) {
    const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : nullptr;
    out += entity != nullptr ? entity : c == '"' ? "&quot;" : std::string(1, c);
  }
  return out;
}

std::string row(const std::vector<std::string>& cells, const char* cell = "td") {
  std::string out = "<tr>";
  for (const std::string& c : cells)
    out += std::string("<") + cell + ">" + escaped(c) + "</" + cell + ">";
  return out + "</tr>\n";
}

const char kHead[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
body{font:14px sans-serif;margin:1em}table{border-collapse:collapse}
td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}
td:last-child{font-family:monospace;white-space:pre-wrap}
</style>)";

const char kScript[] = R"(</tbody></table>
<script>
var text=document.getElementById('text'),rows=document.querySelectorAll('#log tbody tr');
function apply(){var shown=0;rows.forEach(function(r){var ok=r.textContent.indexOf(text.value)>=0;
  r.style.display=ok?'':'none';shown+=ok;});
  document.getElementById('shown').textContent=shown+' of '+rows.length+' lines shown';}
text.value=new URLSearchParams(location.hash.slice(1)).get('text')||'';
text.oninput=apply;apply();document.body.setAttribute('data-ready','1');
</script>
</body></html>
)";

class html_view final : public dump_sink {
 public:
  html_view(FILE* out, const log_filter& filter, const std::string& name)
      : out_(out), filter_(filter) {
    std::fprintf(out_, "%s<title>%s</title></head><body>\n<h1>%s</h1>\n", kHead,
                 escaped(name).c_str(), escaped(name).c_str());
  }

  void begin(bool log) override {
    log_ = log;
    if (!log) {
      std::fprintf(out_, "<h2>Connections</h2>\n<table><thead>%s</thead><tbody>\n",
                   row({std::begin(kColumns), std::end(kColumns)}, "th").c_str());
      return;
    }
    std::fprintf(out_,
                 "</tbody></table>\n<h2>Operation log</h2>\n<p>The lines that pass the command "
                 "line's filter; text <input id=\"text\"> <span id=\"shown\"></span></p>\n"
                 "<table id=\"log\"><thead>%s</thead><tbody>\n",
                 row({"time", "thread", "level", "line", "function", "message"}, "th").c_str());
  }
  void connection(const dump_connection& c) override {
    std::fputs(row(connection_cells(c)).c_str(), out_);
  }
  void entry(const dump_entry& e) override {
    if (!filter_matches(filter_, e)) return;
    std::fputs(row({e.time, e.thread, e.level, e.line, e.function, e.message}).c_str(), out_);
  }
  void finish() {
    if (!log_) begin(true);
    std::fputs(kScript, out_);
  }

 private:
  FILE* out_;
  const log_filter filter_;
  bool log_ = false;
};

}  // namespace

bool show_html(FILE* in, long limit, FILE* out, FILE* err, const log_filter& filter,
               const std::string& name) {
  html_view view(out, filter, name);
  if (!read_dump(in, limit, view, err, name)) return false;
  view.finish();
  return true;
}

}  // namespace comm_rms_tools
