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
.problem td{color:#b00}td:last-child{font-family:monospace;white-space:pre-wrap}
</style>)";

const char kScript[] = R"(</tbody></table>
<script>
var text=document.getElementById('text');
function apply(){
  var rows=document.querySelectorAll('#log tbody tr:not(.problem)'),shown=0;
  for(var i=0;i<rows.length;i++){
    var ok=rows[i].textContent.indexOf(text.value)>=0;
    rows[i].style.display=ok?'':'none';if(ok)shown++;}
  document.getElementById('shown').textContent=shown+' of '+rows.length+' lines shown';
}
var q=new URLSearchParams(location.hash.slice(1));
if(q.has('text'))text.value=q.get('text');
text.oninput=apply;apply();document.body.setAttribute('data-ready','1');
</script>
</body></html>
)";

class html_view final : public reporting_sink {
 public:
  html_view(FILE* out, FILE* err, const log_filter& filter, const std::string& name)
      : reporting_sink(err, name), out_(out), filter_(filter) {
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
    std::string given;
    const std::pair<const char*, const std::string*> filters[] = {{"level", &filter_.level},
                                                                  {"thread", &filter_.thread},
                                                                  {"function", &filter_.function},
                                                                  {"since", &filter_.since}};
    for (const auto& g : filters) {
      if (!g.second->empty()) given += std::string(" --") + g.first + " " + escaped(*g.second);
    }
    std::fprintf(out_,
                 "</tbody></table>\n<h2>Operation log</h2>\n<p>lines%s; text <input id=\"text\">"
                 " <span id=\"shown\"></span></p>\n<table id=\"log\"><thead>%s</thead><tbody>\n",
                 given.empty() ? "" : (" given" + given).c_str(),
                 row({"time", "thread", "level", "line", "function", "message"}, "th").c_str());
  }
  void connection(const dump_connection& c) override {
    std::fputs(row(connection_cells(c)).c_str(), out_);
  }
  void entry(const dump_entry& e) override {
    if (!filter_matches(filter_, e)) return;
    std::fputs(row({e.time, e.thread, e.level, e.line, e.function, e.message}).c_str(), out_);
  }
  void problem(const std::string& what) override {
    reporting_sink::problem(what);
    std::fprintf(out_, "<tr class=\"problem\"><td colspan=\"8\">not read: %s</td></tr>\n",
                 escaped(what).c_str());
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
  html_view view(out, err, filter, name);
  if (!read_dump(in, limit, view)) return false;
  view.finish();
  return true;
}

}  // namespace comm_rms_tools
