(function () {
  "use strict";

  var run = JSON.parse(document.getElementById("run-data").textContent);
  var hosts = run.hosts || [];
  var STATUS_ORDER = ["failed", "unsaved", "interrupted", "skipped", "ok"];
  var MARKS = {ok: "\u2713", failed: "\u2717", unsaved: "\u2717", interrupted: "\u23F8", skipped: "\u2013"};
  var KINDS = [["connect", "connect"], ["command", "command"], ["configuration", "configuration"],
               ["copy", "copy, transfer, upgrade"], ["reload", "reload, switchover"], ["checks", "checks"],
               ["wait", "waiting for a turn"], ["disconnect", "disconnect"], ["step", "other step"]];
  var KNOWN = ["name", "status", "seconds", "error", "done", "outputs", "config", "detected_os", "platform",
               "steps", "output_file", "session_log", "checks", "state_diff", "state_before", "state_after",
               "transfers", "upgrade", "note", "rolled_back"];

  // --- helpers -----------------------------------------------------------

  function el(tag, props, children) {
    var node = document.createElement(tag);
    if (props) {
      Object.keys(props).forEach(function (key) {
        var value = props[key];
        if (value === undefined || value === null || value === false) { return; }
        if (key === "class") { node.className = value; }
        else if (key === "text") { node.textContent = value; }
        else if (key === "hidden") { node.hidden = true; }
        else { node.setAttribute(key, value === true ? "" : String(value)); }
      });
    }
    (children || []).forEach(function (child) {
      if (child === null || child === undefined || child === false) { return; }
      node.appendChild(typeof child === "string" ? document.createTextNode(child) : child);
    });
    return node;
  }

  function vh(text) { return el("span", {"class": "vh", text: text}); }

  function term(list, name, value) {
    // A term and its value into a definition list, unless there is none.
    if (value === null || value === undefined || value === "") { return; }
    list.appendChild(el("dt", {text: name}));
    list.appendChild(el("dd", null, [value]));
  }

  function cls(text) { return String(text).toLowerCase().replace(/[^a-z0-9]+/g, "-"); }

  function seconds(value) {
    if (typeof value !== "number" || !isFinite(value)) { return "\u2014"; }
    return value < 10 ? value.toFixed(2) : value.toFixed(1);
  }

  function pad(number) { return (number < 10 ? "0" : "") + number; }

  function clock(epoch) {
    if (typeof epoch !== "number") { return "\u2014"; }
    var d = new Date(epoch * 1000);
    var offset = -d.getTimezoneOffset();
    var sign = offset < 0 ? "-" : "+";
    offset = Math.abs(offset);
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " + pad(d.getHours()) +
      ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds()) + " (UTC" + sign + pad(Math.floor(offset / 60)) +
      ":" + pad(offset % 60) + ")";
  }

  function isCut(value) {
    return value !== null && typeof value === "object" && "left_out" in value && "text_head" in value;
  }

  function isText(value) { return typeof value === "string" || isCut(value); }

  function statusOf(host) { return host.status || "unknown"; }

  function statusCell(status) {
    return el("span", {"class": "status s-" + cls(status)}, [(MARKS[status] || "\u2022") + " " + status]);
  }

  function deviceHref(name) { return "#device=" + encodeURIComponent(name); }

  // --- the run's clock -----------------------------------------------------

  var first = null, last = null;
  hosts.forEach(function (host) {
    (host.steps || []).forEach(function (step) {
      if (typeof step.start === "number" && (first === null || step.start < first)) { first = step.start; }
      var end = typeof step.end === "number" ? step.end : step.start;
      if (typeof end === "number" && (last === null || end > last)) { last = end; }
    });
  });
  var origin = typeof run.started === "number" ? Math.min(run.started, first === null ? run.started : first) : first;
  var finish = Math.max(typeof run.ended === "number" ? run.ended : 0, last === null ? 0 : last);
  var span = origin === null ? 0 : Math.max(finish - origin, 0.001);

  function since(epoch) { return origin === null || typeof epoch !== "number" ? null : epoch - origin; }

  hosts.forEach(function (host, index) {
    host._index = index;
    host._start = host.steps && host.steps.length ? since(host.steps[0].start) : null;
    host._error = [host.error || "", host.note || ""].join("\n").toLowerCase();
    host._name = String(host.name).toLowerCase();
    host._platform = host.platform || host.detected_os || "";
  });

  // --- summary -------------------------------------------------------------

  var counts = {};
  hosts.forEach(function (host) {
    counts[statusOf(host)] = (counts[statusOf(host)] || 0) + 1;
    if (host.rolled_back) { counts["rolled back"] = (counts["rolled back"] || 0) + 1; }
  });

  function countTile(label, key, value, status) {
    var button = el("button", {type: "button", "class": "count s-" + cls(status || key), "data-status": key,
                               "aria-pressed": "false", disabled: key !== "" && !value},
                    [el("span", {"class": "n", "data-count": label, text: String(value)}), " " + label]);
    button.addEventListener("click", function () {
      filters.status.value = filters.status.value === key ? "" : key;
      applyFilters();
    });
    return el("li", null, [button]);
  }

  function summary() {
    var list = document.getElementById("counts");
    list.appendChild(countTile("devices", "", hosts.length, "all"));
    ["ok", "failed", "skipped", "rolled back"].concat(Object.keys(counts).filter(function (status) {
      return ["ok", "failed", "skipped", "rolled back"].indexOf(status) < 0;
    }).sort()).forEach(function (status) {
      list.appendChild(countTile(status, status === "rolled back" ? "rolled-back" : status, counts[status] || 0,
                                 status));
    });
    var facts = document.getElementById("facts");
    var fact = term.bind(null, facts);
    fact("Started", clock(run.started));
    fact("Ended", clock(run.ended));
    fact("Wall time", typeof run.seconds === "number" ? seconds(run.seconds) + " s" : null);
    fact("At most at once", run.workers ? String(Math.min(run.workers, hosts.length)) + " device(s)" : null);
    fact("Interrupted by", run.interrupted_by);
    fact("Command line", run.command_line ? el("code", {text: run.command_line}) : null);
    document.getElementById("footer").textContent = "Written by " + ((run.report || {}).generator || "tarvix") +
      " at " + clock((run.report || {}).written) + ". Secrets are masked as ****; long texts are shortened, " +
      "their whole in the run's output folder.";
  }

  // --- the table -----------------------------------------------------------

  var rows = [], lanes = [];
  var filters = {
    status: document.getElementById("filter-status"), name: document.getElementById("filter-name"),
    platform: document.getElementById("filter-platform"), error: document.getElementById("filter-error")
  };

  function tableRow(host) {
    var status = statusOf(host);
    var note = host.note || "";
    return el("tr", {"class": "s-" + cls(status), role: "row", "data-device": host.name, "data-status": status}, [
      el("td", {role: "cell"}, [el("a", {href: deviceHref(host.name), text: host.name})]),
      el("td", {role: "cell"}, [statusCell(status), host.rolled_back ? el("span", {
        "class": "badge s-rolled-back", text: "rolled back"}) : null]),
      el("td", {role: "cell", text: host._platform}),
      el("td", {role: "cell", "class": "num", text: host._start === null ? "\u2014" : seconds(host._start)}),
      el("td", {role: "cell", "class": "num", text: seconds(host.seconds)}),
      el("td", {role: "cell", "class": "note", text: note})
    ]);
  }

  function fill(container, make, made) {
    // One node per host, into ``made`` (by the hosts' index) and the container.
    var fragment = document.createDocumentFragment();
    hosts.forEach(function (host) {
      var node = make(host);
      made.push(node);
      fragment.appendChild(node);
    });
    container.appendChild(fragment);
  }

  function table() {
    fill(document.getElementById("device-rows"), tableRow, rows);
    var statuses = Object.keys(counts).filter(function (s) { return s !== "rolled back"; }).sort(function (a, b) {
      return rank(a) - rank(b);
    });
    statuses.forEach(function (status) {
      filters.status.appendChild(el("option", {value: status, text: status + " (" + counts[status] + ")"}));
    });
    if (counts["rolled back"]) {
      filters.status.appendChild(el("option", {value: "rolled-back",
                                               text: "rolled back (" + counts["rolled back"] + ")"}));
    }
    var platforms = {};
    hosts.forEach(function (host) { if (host._platform) { platforms[host._platform] = true; } });
    Object.keys(platforms).sort().forEach(function (platform) {
      filters.platform.appendChild(el("option", {value: platform, text: platform}));
    });
  }

  function rank(status) {
    var at = STATUS_ORDER.indexOf(status);
    return at < 0 ? STATUS_ORDER.length : at;
  }

  // --- sorting -------------------------------------------------------------

  var order = hosts.map(function (host, index) { return index; });
  var sortKey = null, sortDown = false;
  var collator = typeof Intl !== "undefined" ? new Intl.Collator(undefined, {numeric: true}) : null;

  // Each host's place by name, found once.
  var byName = hosts.map(function (host, index) { return index; }).sort(function (a, b) {
    var s = String(hosts[a].name), t = String(hosts[b].name);
    return collator ? collator.compare(s, t) : (s < t ? -1 : s > t ? 1 : 0);
  });
  byName.forEach(function (index, place) { hosts[index]._place = place; });

  function compare(a, b) {
    var x = hosts[a], y = hosts[b], result;
    if (sortKey === "status") { result = rank(statusOf(x)) - rank(statusOf(y)); }
    else if (sortKey === "seconds" || sortKey === "start") {
      var p = sortKey === "seconds" ? x.seconds : x._start, q = sortKey === "seconds" ? y.seconds : y._start;
      result = (typeof p === "number" ? p : -1) - (typeof q === "number" ? q : -1);
    } else if (sortKey === "name") {
      result = x._place - y._place;
    } else {
      var s = sortKey === "platform" ? x._platform : x.note || "", t = sortKey === "platform" ? y._platform : y.note || "";
      result = s === t ? 0 : collator ? collator.compare(s, t) : (s < t ? -1 : 1);
    }
    return (sortDown ? -result : result) || x._place - y._place;
  }

  function sortBy(key) {
    sortDown = key === sortKey ? !sortDown : key === "seconds";
    sortKey = key;
    order.sort(compare);
    var body = document.getElementById("device-rows"), lanesList = document.getElementById("tl-rows");
    var tableFragment = document.createDocumentFragment(), laneFragment = document.createDocumentFragment();
    order.forEach(function (index) {
      tableFragment.appendChild(rows[index]);
      laneFragment.appendChild(lanes[index]);
    });
    body.appendChild(tableFragment);
    lanesList.appendChild(laneFragment);
    Array.prototype.forEach.call(document.querySelectorAll("#device-table th"), function (th) {
      if (th.getAttribute("data-key") === sortKey) {
        th.setAttribute("aria-sort", sortDown ? "descending" : "ascending");
      } else {
        th.removeAttribute("aria-sort");
      }
    });
  }

  // --- filtering -----------------------------------------------------------

  function matcher() {
    var status = filters.status.value, platform = filters.platform.value;
    var name = filters.name.value.trim().toLowerCase(), error = filters.error.value.trim().toLowerCase();
    return function (host) {
      if (status === "rolled-back" ? !host.rolled_back : status && statusOf(host) !== status) { return false; }
      if (platform && host._platform !== platform) { return false; }
      if (name && host._name.indexOf(name) < 0) { return false; }
      return !error || host._error.indexOf(error) >= 0;
    };
  }

  function applyFilters() {
    var matches = matcher(), shown = 0;
    for (var index = 0; index < hosts.length; index++) {
      var visible = matches(hosts[index]);
      shown += visible ? 1 : 0;
      if (rows[index].hidden === visible) {
        rows[index].hidden = !visible;
        lanes[index].hidden = !visible;
      }
    }
    document.getElementById("shown").textContent = shown + " of " + hosts.length + " device(s) shown";
    document.getElementById("no-match").hidden = shown > 0;
    Array.prototype.forEach.call(document.querySelectorAll("#counts .count"), function (button) {
      button.setAttribute("aria-pressed", String(button.getAttribute("data-status") === filters.status.value &&
                                                 filters.status.value !== ""));
    });
    return shown;
  }

  // --- the timeline --------------------------------------------------------

  function tickStep() {
    var steps = [0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400, 28800];
    for (var i = 0; i < steps.length; i++) { if (span / steps[i] <= 10) { return steps[i]; } }
    return Math.ceil(span / 10 / 3600) * 3600;
  }

  function percent(value) { return (Math.max(0, Math.min(value, span)) / span * 100).toFixed(3) + "%"; }

  function bar(step) {
    var start = since(step.start), end = since(typeof step.end === "number" ? step.end : step.start);
    var status = step.status || "ok", kind = step.kind || "step";
    var length = Math.max(end - start, 0);
    var words = step.step + " (" + kind + ") from " + seconds(start) + " s to " + seconds(end) + " s, " +
      seconds(length) + " s, " + status;
    var node = el("span", {"class": "bar k-" + cls(kind) + " s-" + cls(status), role: "img", "aria-label": words,
                           title: words, "data-step": step.step, "data-kind": kind, "data-start": start.toFixed(3),
                           "data-end": end.toFixed(3), "data-status": status});
    node.style.left = percent(start);
    node.style.width = percent(length);
    return node;
  }

  function lane(host) {
    var status = statusOf(host);
    var track = el("span", {"class": "tl-track"});
    (host.steps || []).forEach(function (step) {
      if (typeof step.start === "number") { track.appendChild(bar(step)); }
    });
    if (!track.firstChild) { track.appendChild(vh("no steps")); }
    return el("li", {"class": "tl-row s-" + cls(status), "data-device": host.name, "data-status": status}, [
      el("span", {"class": "tl-name"}, [
        el("span", {"class": "tl-mark", "aria-hidden": "true", text: MARKS[status] || "\u2022"}),
        el("a", {href: deviceHref(host.name), title: host.name + ": " + status, text: host.name}), vh(", " + status)
      ]),
      track
    ]);
  }

  function timeline() {
    var legend = document.getElementById("legend");
    KINDS.forEach(function (kind) {
      legend.appendChild(el("li", null, [el("span", {"class": "bar k-" + kind[0], "aria-hidden": "true"}), kind[1]]));
    });
    legend.appendChild(el("li", null, [el("span", {"class": "bar k-step s-failed", "aria-hidden": "true"}),
                                       "failed (\u2717, hatched), interrupted (dashed)"]));
    fill(document.getElementById("tl-rows"), lane, lanes);
    if (origin === null) {
      document.getElementById("tl").appendChild(el("p", {"class": "notice",
        text: "The run tells no times of its steps."}));
      return;
    }
    var axis = document.getElementById("tl-axis"), step = tickStep();
    document.getElementById("tl").style.setProperty("--grid", (step / span * 100) + "%");
    for (var at = 0; at <= span + 1e-9; at += step) {
      var label = el("span", {text: (step < 1 ? at.toFixed(1) : String(Math.round(at))) + " s"});
      label.style.left = percent(at);
      axis.appendChild(label);
    }
  }

  // --- a device ------------------------------------------------------------

  function section(title, children) {
    var content = children.filter(function (child) { return child; });
    if (!content.length) { return null; }
    return el("section", {"class": "part", "aria-label": title}, [el("h3", {text: title})].concat(content));
  }

  function textNodes(value, lineNode) {
    // The text, or a shortened one's beginning, what was left out, and end.
    var nodes = [];
    function lines(text) {
      if (!lineNode) { nodes.push(document.createTextNode(text)); return; }
      text.replace(/\n$/, "").split("\n").forEach(function (line) { nodes.push(lineNode(line)); });
    }
    if (isCut(value)) {
      lines(value.text_head);
      nodes.push(el("span", {"class": "cut", text: "\u2026 " + value.left_out + " characters left out here \u2026"}));
      lines(value.text_tail);
    } else {
      lines(String(value));
    }
    return nodes;
  }

  function pre(value, where) {
    var nodes = [el("pre", null, textNodes(value))];
    if (isCut(value) && where) { nodes.push(el("p", {"class": "hint", text: "The whole text: " + where})); }
    return el("div", null, nodes);
  }

  function diffLine(line) {
    if (/^(\+\+\+|---|@@)/.test(line)) { return el("span", {"class": "hdr", text: line + "\n"}); }
    if (line.charAt(0) === "+") { return el("ins", {text: line + "\n"}); }
    if (line.charAt(0) === "-") { return el("del", {text: line + "\n"}); }
    return el("span", {"class": "ctx", text: line + "\n"});
  }

  function diff(value, label) {
    return el("pre", {"class": "diff", "aria-label": label || "diff: + added, - removed"},
              textNodes(value, diffLine));
  }

  function generic(value, depth) {
    depth = depth || 0;
    if (value === null || value === undefined) { return el("span", {text: "\u2014"}); }
    if (isText(value)) {
      return isCut(value) || String(value).indexOf("\n") >= 0 ? el("pre", null, textNodes(value)) :
        el("span", {text: String(value)});
    }
    if (typeof value !== "object") { return el("span", {"class": "mono", text: String(value)}); }
    if (depth > 3) { return el("pre", {text: JSON.stringify(value, null, 2)}); }
    if (Array.isArray(value)) {
      if (!value.length) { return el("span", {text: "none"}); }
      var records = value.every(function (item) {
        return item && typeof item === "object" && !Array.isArray(item) && !isCut(item);
      });
      if (records) { return recordTable(value, depth); }
      return el("ul", null, value.map(function (item) { return el("li", null, [generic(item, depth + 1)]); }));
    }
    var list = el("dl", {"class": "kv"});
    Object.keys(value).forEach(function (key) {
      list.appendChild(el("dt", {text: key}));
      list.appendChild(el("dd", null, [generic(value[key], depth + 1)]));
    });
    return list;
  }

  function recordTable(records, depth) {
    var keys = [];
    records.forEach(function (record) {
      Object.keys(record).forEach(function (key) { if (keys.indexOf(key) < 0) { keys.push(key); } });
    });
    return el("div", {"class": "table-wrap"}, [el("table", null, [
      el("thead", null, [el("tr", null, keys.map(function (key) { return el("th", {scope: "col", text: key}); }))]),
      el("tbody", null, records.map(function (record) {
        return el("tr", null, keys.map(function (key) {
          var value = record[key];
          if (key === "passed" && typeof value === "boolean") {
            return el("td", {"class": value ? "passed" : "failed", text: value ? "\u2713 passed" : "\u2717 failed"});
          }
          if (typeof value === "number") {
            return el("td", {"class": "num", text: /second|\(s\)/.test(key) ? seconds(value) : String(value)});
          }
          return el("td", null, [generic(value, depth + 1)]);
        }));
      }))
    ])]);
  }

  function facts(host) {
    var list = el("dl", {"class": "kv"});
    var add = term.bind(null, list);
    var status = statusOf(host);
    add("Status", el("span", null, [statusCell(status), host.rolled_back ? el("span", {
      "class": "badge s-rolled-back", text: "rolled back"}) : null]));
    add("Platform", host.platform || null);
    add("Detected os", host.detected_os || null);
    add("Seconds", seconds(host.seconds));
    add("Error", host.error ? el("p", {"class": "error", text: host.error}) : null);
    add("Notes", status === "ok" ? host.note || null : null);
    add("Done on the device", (host.done || []).length ? el("ol", null, host.done.map(function (item) {
      return el("li", {text: item});
    })) : "nothing");
    add("Output file", host.output_file ? el("code", {text: host.output_file}) : null);
    return list;
  }

  function stepsPart(host) {
    if (!(host.steps || []).length) { return null; }
    return section("Steps", [recordTable(host.steps.map(function (step) {
      var start = since(step.start), end = since(step.end);
      return {step: step.step, kind: step.kind, "began at (s)": start,
              seconds: start === null || end === null ? null : end - start, status: step.status};
    }), 0)]);
  }

  function configPart(host) {
    var config = host.config;
    if (!config) { return null; }
    var rest = {};
    Object.keys(config).forEach(function (key) { if (key !== "diff") { rest[key] = config[key]; } });
    var children = [generic(rest)];
    if ("diff" in config) {
      children.push(config.diff ? diff(config.diff, "configuration diff: + added, - removed") :
        el("p", {text: "No difference."}));
    }
    return section(config.dry_run ? "Configuration (dry run: nothing sent)" : "Configuration", children);
  }

  function statePart(host) {
    var children = [];
    if (host.state_diff !== undefined) {
      children.push(isText(host.state_diff) ? diff(host.state_diff, "state diff: + after, - before") :
        generic(host.state_diff));
    }
    ["state_before", "state_after"].forEach(function (key) {
      if (host[key] !== undefined) {
        children.push(el("details", null, [el("summary", {text: key === "state_before" ? "State before" :
          "State after"}), isText(host[key]) ? pre(host[key]) : generic(host[key])]));
      }
    });
    return section("State", children);
  }

  function checksPart(host) {
    if (!Array.isArray(host.checks)) { return host.checks === undefined ? null : section("Checks", [generic(host.checks)]); }
    var failed = host.checks.filter(function (check) { return check && check.passed === false; });
    var sorted = failed.concat(host.checks.filter(function (check) { return failed.indexOf(check) < 0; }));
    return section("Checks: " + failed.length + " failed of " + host.checks.length,
                   [host.checks.length ? recordTable(sorted, 0) : el("p", {text: "No check."})]);
  }

  function isReload(entry) {
    return entry && entry.output && typeof entry.output === "object" && !Array.isArray(entry.output) &&
      entry.output.rps && typeof entry.output.rps === "object";
  }

  function reloadPart(host) {
    var reloads = (host.outputs || []).filter(isReload);
    if (!reloads.length) { return null; }
    return section("Reload", reloads.map(function (entry) {
      var report = entry.output;
      var rps = Object.keys(report.rps).sort().map(function (rp) {
        var times = report.rps[rp] || {};
        return {rp: rp, state: times.state, "link lost (s)": times.link_lost, "first answer (s)": times.first_answer,
                "ready (s)": times.ready};
      });
      var boot = Object.keys(report.rps).sort().map(function (rp) { return (report.rps[rp] || {}).boot_messages; })
        .filter(function (text) { return text && (isCut(text) || String(text).trim()); });
      return el("div", null, [
        el("p", {text: (report.operation || entry.command) + ": " + seconds(report.seconds) + " s in all" +
                        (entry.note ? " (" + entry.note + ")" : "")}),
        recordTable(rps, 0),
        boot.length ? el("details", null, [el("summary", {text: "Boot messages"})].concat(boot.map(function (text) {
          return pre(text);
        }))) : null
      ]);
    }));
  }

  function outputsPart(host) {
    var entries = (host.outputs || []).filter(function (entry) { return !isReload(entry); });
    if (!entries.length) { return null; }
    var open = entries.length <= 3;
    return section("Outputs", entries.map(function (entry) {
      var output = entry.output;
      var body = output === null || output === undefined ? el("p", {text: "(no output)"}) :
        isText(output) ? pre(output, host.output_file) : el("pre", {text: JSON.stringify(output, null, 2)});
      return el("details", {open: open}, [
        el("summary", null, [el("code", {text: entry.command || "output"}),
                             entry.lines ? " (" + entry.lines.length + " line(s))" : ""]),
        entry.lines ? el("pre", {"aria-label": "lines sent", text: entry.lines.join("\n")}) : null,
        entry.warning ? el("p", {"class": "warning", text: "warning: " + entry.warning}) : null,
        entry.note ? el("p", {"class": "hint", text: entry.note}) : null,
        body
      ]);
    }));
  }

  function logPart(host) {
    if (!(host.session_log || []).length) { return null; }
    return section("Session log", host.session_log.map(function (log) {
      return el("details", null, [el("summary", null, [el("code", {text: log.path})]),
        log.missing ? el("p", {text: "not read: " + log.missing}) : pre(log.text, log.path)]);
    }));
  }

  function otherParts(host) {
    return Object.keys(host).filter(function (key) {
      return key.charAt(0) !== "_" && KNOWN.indexOf(key) < 0;
    }).sort().map(function (key) {
      // A large part is folded, to be opened.
      var shown = generic(host[key]);
      if (JSON.stringify(host[key]).length > 1500) {
        shown = el("details", null, [el("summary", {text: "show all of it"}), shown]);
      }
      return section(key.replace(/_/g, " "), [shown]);
    });
  }

  function neighbours(host) {
    var visible = order.filter(function (index) { return !rows[index].hidden; });
    var at = visible.indexOf(host._index);
    var nav = el("nav", {"class": "device-nav", "aria-label": "Devices"}, [
      el("a", {href: "#devices", text: "\u2190 All devices"})]);
    if (at > 0) { nav.appendChild(el("a", {href: deviceHref(hosts[visible[at - 1]].name), text: "Previous: " +
                                           hosts[visible[at - 1]].name})); }
    if (at >= 0 && at < visible.length - 1) {
      nav.appendChild(el("a", {href: deviceHref(hosts[visible[at + 1]].name), text: "Next: " +
                               hosts[visible[at + 1]].name}));
    }
    return nav;
  }

  function showDevice(name) {
    var host = null;
    for (var i = 0; i < hosts.length; i++) { if (String(hosts[i].name) === name) { host = hosts[i]; break; } }
    var part = document.getElementById("device");
    if (!host) { part.hidden = true; return; }
    var heading = document.getElementById("device-heading");
    heading.textContent = "";
    heading.appendChild(document.createTextNode("Device " + host.name));
    var body = document.getElementById("device-body");
    body.textContent = "";
    [neighbours(host), facts(host), stepsPart(host), configPart(host), statePart(host), checksPart(host),
     section("Transfers", host.transfers !== undefined ? [generic(host.transfers)] : []),
     section("Upgrade", host.upgrade !== undefined ? [generic(host.upgrade)] : []),
     reloadPart(host), outputsPart(host), logPart(host)].concat(otherParts(host)).forEach(function (node) {
      if (node) { body.appendChild(node); }
    });
    part.hidden = false;
    part.setAttribute("data-device", host.name);
    heading.focus();
  }

  function route() {
    var hash = location.hash;
    if (hash.indexOf("#device=") === 0) {
      showDevice(decodeURIComponent(hash.slice("#device=".length)));
    } else {
      document.getElementById("device").hidden = true;
    }
  }

  // --- wiring --------------------------------------------------------------

  summary();
  table();
  timeline();
  sortBy("name");
  applyFilters();
  Array.prototype.forEach.call(document.querySelectorAll("#device-table th button"), function (button) {
    button.addEventListener("click", function () { sortBy(button.parentNode.getAttribute("data-key")); });
  });
  var form = document.getElementById("filters");
  form.addEventListener("input", applyFilters);
  form.addEventListener("change", applyFilters);
  form.addEventListener("submit", function (event) { event.preventDefault(); });
  form.addEventListener("reset", function (event) {
    // Cleared here, at once, rather than after the browser's own reset.
    event.preventDefault();
    Object.keys(filters).forEach(function (key) { filters[key].value = ""; });
    applyFilters();
  });
  window.addEventListener("hashchange", route);
  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape" && !document.getElementById("device").hidden) {
      location.hash = "#devices";
      document.getElementById("devices-heading").focus();
    }
  });
  document.getElementById("devices-heading").setAttribute("tabindex", "-1");
  route();
  document.documentElement.setAttribute("data-ready", String(Math.round(performance.now())));
})();
