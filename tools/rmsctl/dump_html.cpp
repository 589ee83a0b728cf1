// `rmsctl show --html`: one page with everything inline (no network, no
// other files): the connections with a timeline over the dump's time span,
// and the operation log lines that pass the command line's filter, which
// typing in the page (or "#text=..." in the address) narrows further.
#include <iterator>

#include "dump_view.h"

namespace comm_rms_tools {

namespace {

// Shown bytes, then the characters that mean something in HTML.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : printable(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Seconds of a time stamp, or -1 for the never-filled 1900 stamp.
double seconds_of(const std::string& time) {
  double seconds = 0;
  return dump_time_seconds(time, seconds) && seconds >= 0 ? seconds : -1;
}

// The first pass: the earliest and latest time of the dump.
class span_sink final : public dump_sink {
 public:
  void begin(bool) override {}
  void connection(const dump_connection& c) override {
    widen(seconds_of(c.regist_time));
    if (c.unregist_calls > 0) widen(seconds_of(c.unregist_time));
  }
  void entry(const dump_entry& e) override { widen(seconds_of(e.time)); }
  void problem(const std::string&) override {}
  double first = -1;
  double last = -1;

 private:
  void widen(double t) {
    if (t < 0) return;
    if (first < 0 || t < first) first = t;
    if (t > last) last = t;
  }
};

const char kHead[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
body{font:14px sans-serif;margin:1em}table{border-collapse:collapse}
td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}
.lane{position:relative;height:18px;background:#f4f4f4;margin:2px 0;min-width:40em}
.bar{position:absolute;top:2px;height:14px;background:#4a7;min-width:2px}
.open{background:repeating-linear-gradient(45deg,#4a7,#4a7 6px,#8c9 6px,#8c9 12px)}
.ERR td{color:#b00}.WRN td{color:#a60}td.msg{font-family:monospace;white-space:pre-wrap}
.problem td{color:#b00}
</style>)";

const char kScript[] = R"(<script>
var text=document.getElementById('text');
function apply(){
  var rows=document.querySelectorAll('#log tbody tr.line'),shown=0;
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
  html_view(FILE* out, const log_filter& filter, const std::string& name, const span_sink& span)
      : reporting_sink(name), out_(out), filter_(filter), first_(span.first), last_(span.last) {
    std::fprintf(out_, "%s<title>%s</title></head><body>\n<h1>%s</h1>\n", kHead,
                 escaped(name).c_str(), escaped(name).c_str());
  }

  void begin(bool log) override {
    if (log) {
      std::string by;
      const std::pair<const char*, const std::string*> given[] = {{"--level", &filter_.level},
                                                                  {"--thread", &filter_.thread},
                                                                  {"--function", &filter_.function},
                                                                  {"--since", &filter_.since}};
      for (const auto& g : given) {
        if (!g.second->empty()) by += std::string(" ") + g.first + " " + escaped(*g.second);
      }
      std::fprintf(out_,
                   "</tbody></table>\n<h2>Operation log</h2>\n<p>lines%s; text <input id=\"text\">"
                   " <span id=\"shown\"></span></p>\n<table id=\"log\"><thead><tr>",
                   by.empty() ? "" : (" given" + by).c_str());
      for (const char* h : {"time", "thread", "level", "line", "function", "message"}) {
        std::fprintf(out_, "<th>%s</th>", h);
      }
    } else {
      std::fputs("<h2>Connections</h2>\n<table id=\"connections\"><thead><tr>", out_);
      for (const char* h : kColumns) std::fprintf(out_, "<th>%s</th>", h);
      std::fputs("<th>timeline</th>", out_);
    }
    std::fputs("</tr></thead><tbody>\n", out_);
    log_ = log;
  }

  void connection(const dump_connection& c) override {
    std::string row = "<tr>";
    for (const std::string& cell : connection_cells(c)) row += "<td>" + escaped(cell) + "</td>";
    const bool gone = c.unregist_calls > 0;
    const double span = last_ > first_ ? last_ - first_ : 1;
    const double from = seconds_of(c.regist_time);
    const double to = gone ? seconds_of(c.unregist_time) : last_;
    std::fprintf(out_,
                 "%s<td><div class=\"lane\"><div class=\"bar%s\" style=\"left:%.2f%%;"
                 "width:%.2f%%\"></div></div></td></tr>\n",
                 row.c_str(), gone ? "" : " open", percent((from - first_) / span),
                 percent((to - from) / span));
  }

  void entry(const dump_entry& e) override {
    if (!filter_matches(filter_, e)) return;
    std::string row = "<tr class=\"line " + escaped(e.level) + "\">";
    for (const std::string* cell : {&e.time, &e.thread, &e.level, &e.line, &e.function}) {
      row += "<td>" + escaped(*cell) + "</td>";
    }
    std::fprintf(out_, "%s<td class=\"msg\">%s</td></tr>\n", row.c_str(),
                 escaped(e.message).c_str());
  }

  void problem(const std::string& what) override {
    reporting_sink::problem(what);
    std::fprintf(out_, "<tr class=\"problem\"><td colspan=\"9\">not read: %s</td></tr>\n",
                 escaped(what).c_str());
  }

  void finish() {
    if (!log_) begin(true);
    std::fprintf(out_, "</tbody></table>\n%s", kScript);
  }

 private:
  static double percent(double share) { return share < 0 ? 0 : share > 1 ? 100 : share * 100; }

  FILE* out_;
  const log_filter filter_;
  const double first_;
  const double last_;
  bool log_ = false;
};

}  // namespace

bool show_html(FILE* in, long limit, FILE* out, const log_filter& filter, const std::string& name) {
  span_sink span;
  if (!read_dump(in, limit, span) || std::fseek(in, 0, SEEK_SET) != 0) return false;
  html_view view(out, filter, name, span);
  if (!read_dump(in, limit, view)) return false;
  view.finish();
  return true;
}

}  // namespace comm_rms_tools
