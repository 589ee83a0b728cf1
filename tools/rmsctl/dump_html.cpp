// `rmsctl show --html`: one page with everything inline (no network, no
// other files): the connections as a timeline over the dump's time span,
// and the operation log as a table that filters as you type. A filter can
// also come in the address: page.html#level=ERR&thread=...&function=...
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "dump_view.h"

namespace comm_rms_tools {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
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

std::string percent(double value) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2f%%", value < 0 ? 0.0 : value > 100 ? 100.0 : value);
  return text;
}

const char kStyle[] = R"(<style>
body{font:14px sans-serif;margin:1em}table{border-collapse:collapse}
td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}
.lane{position:relative;height:18px;background:#f4f4f4;margin:2px 0;min-width:40em}
.bar{position:absolute;top:2px;height:14px;background:#4a7;min-width:2px}
.open{background:repeating-linear-gradient(45deg,#4a7,#4a7 6px,#8c9 6px,#8c9 12px)}
.ERR td{color:#b00}.WRN td{color:#a60}td.msg{font-family:monospace;white-space:pre-wrap}
.problems{color:#b00}
</style>)";

const char kScript[] = R"(<script>
function apply(){
  var f={level:document.getElementById('level').value.toUpperCase(),
         thread:document.getElementById('thread').value,
         func:document.getElementById('function').value,
         text:document.getElementById('text').value};
  var rows=document.querySelectorAll('#log tbody tr'),shown=0;
  for(var i=0;i<rows.length;i++){var r=rows[i],d=r.dataset;
    var ok=(!f.level||d.level==f.level)&&(!f.thread||d.thread==f.thread)&&
      (!f.func||d.function.indexOf(f.func)>=0)&&(!f.text||r.textContent.indexOf(f.text)>=0);
    r.style.display=ok?'':'none';if(ok)shown++;}
  document.getElementById('shown').textContent=shown+' of '+rows.length+' lines shown';
}
var q=new URLSearchParams(location.hash.slice(1));
['level','thread','function','text'].forEach(function(k){
  var e=document.getElementById(k);if(q.has(k))e.value=q.get(k);e.oninput=apply;});
apply();document.body.setAttribute('data-ready','1');
</script>)";

}  // namespace

std::string render_dump_html(const dump_contents& dump, const std::string& title) {
  double first = -1;
  double last = -1;
  auto widen = [&first, &last](double t) {
    if (t < 0) return;
    if (first < 0 || t < first) first = t;
    if (t > last) last = t;
  };
  for (const dump_connection& c : dump.connections) {
    widen(seconds_of(c.regist_time));
    if (c.unregist_calls > 0) widen(seconds_of(c.unregist_time));
  }
  for (const dump_entry& e : dump.entries) widen(seconds_of(e.time));
  const double span = last > first ? last - first : 1;

  std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                    escaped(title) + "</title>\n" + kStyle + "</head><body>\n<h1>" +
                    escaped(title) + "</h1>\n";
  if (!dump.problems.empty()) {
    out += "<ul class=\"problems\">";
    for (const std::string& p : dump.problems) out += "<li>not read: " + escaped(p) + "</li>";
    out += "</ul>\n";
  }
  out += "<h2>Connections (" + std::to_string(dump.connections.size()) +
         ")</h2>\n<table id=\"connections\"><thead><tr><th>ID</th><th>path</th><th>URL</th>"
         "<th>registered at</th><th>unregistered at</th><th>result</th><th>timeline</th>"
         "</tr></thead><tbody>\n";
  for (const dump_connection& c : dump.connections) {
    const bool gone = c.unregist_calls > 0;
    const double from = seconds_of(c.regist_time);
    const double to = gone ? seconds_of(c.unregist_time) : last;
    out += "<tr><td>" + escaped(c.id) + "</td><td>" + escaped(c.path) + "</td><td>" +
           escaped(c.url) + "</td><td>" + escaped(c.regist_time) + "</td><td>" +
           escaped(unregistered_text(c)) + (gone ? " (" + connection_duration(c) + ")" : "") +
           "</td><td>" + escaped(result_text(c.regist_result)) +
           "</td><td><div class=\"lane\"><div class=\"bar" + (gone ? "" : " open") +
           "\" style=\"left:" + percent((from - first) * 100 / span) +
           ";width:" + percent((to - from) * 100 / span) + "\"></div></div></td></tr>\n";
  }
  out +=
      "</tbody></table>\n<h2>Operation log</h2>\n<p>level <select id=\"level\">"
      "<option value=\"\">all</option><option>ERR</option><option>WRN</option>"
      "<option>IMP</option><option>INF</option><option>****</option></select> "
      "thread <input id=\"thread\" size=\"12\"> function <input id=\"function\"> "
      "text <input id=\"text\"> <span id=\"shown\"></span></p>\n"
      "<table id=\"log\"><thead><tr><th>time</th><th>thread</th><th>level</th><th>line</th>"
      "<th>function</th><th>message</th></tr></thead><tbody>\n";
  for (const dump_entry& e : dump.entries) {
    out += "<tr class=\"" + escaped(e.level) + "\" data-level=\"" + escaped(e.level) +
           "\" data-thread=\"" + escaped(e.thread) + "\" data-function=\"" + escaped(e.function) +
           "\"><td>" + escaped(e.time) + "</td><td>" + escaped(e.thread) + "</td><td>" +
           escaped(e.level) + "</td><td>" + escaped(e.line) + "</td><td>" + escaped(e.function) +
           "</td><td class=\"msg\">" + escaped(e.message) + "</td></tr>\n";
  }
  return out + "</tbody></table>\n" + kScript + "\n</body></html>\n";
}

}  // namespace comm_rms_tools
