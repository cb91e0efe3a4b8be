"use strict";
// The search box: on every keystroke, one request to /api/typeahead of the same service, which
// answers with the completions to offer (typo-tolerant, likeliest first) and the best videos;
// or, when nothing completes the text within its typo budget, the corrections of the whole text
// and the videos of the first one.

const SUGGESTIONS = 8;  // list lengths the page asks for; the browser test asks the same
const VIDEOS = 10;

const box = document.getElementById("q");
const results = document.getElementById("results");
const suggestionList = document.getElementById("suggestions");
const suggestionTitle = document.getElementById("suggestions-title");
const videoList = document.getElementById("videos");
const videoTitle = document.getElementById("videos-title");
const status = document.getElementById("status");
const indexChoice = document.getElementById("index");

let latest = 0;           // the sequence number of the newest search started
let inFlight = null;      // its AbortController: a newer keystroke cancels the older request
let highlighted = -1;
let searchUrl = null;     // where Enter sends the typed text, from the service's settings

const UNREACHABLE = "The search service cannot be reached. Check your connection and try again.";

async function ask(endpoint, params, signal) {
  let response;
  try {
    response = await fetch(`/api/${endpoint}?${new URLSearchParams(params)}`, { signal });
  } catch (error) {
    if (error.name === "AbortError") throw error;
    throw new Error(UNREACHABLE);  // no answer at all: the network or the service is down
  }
  let body;
  try {
    body = await response.json();
  } catch (error) {
    throw new Error(response.ok ? UNREACHABLE : `The service answered HTTP ${response.status}`);
  }
  if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
  return body;
}

fetch("/api/page").then((r) => r.json()).then((settings) => {
  searchUrl = settings.search_url;
  // A choice only where there is one: a service of several indexes (languages, sites).
  if (settings.indexes && settings.indexes.length > 1) {
    indexChoice.replaceChildren(...settings.indexes.map((name) => new Option(name, name)));
    indexChoice.value = settings.default_index;
    indexChoice.hidden = false;
  }
}).catch(() => {});

// A link or an image only to a web address: a javascript: or data: URL from the videos file
// would run or show what no one meant.
function webAddress(text) {
  try {
    const url = new URL(text, window.location.href);
    return url.protocol === "http:" || url.protocol === "https:" ? url.href : null;
  } catch (error) {
    return null;
  }
}

async function search(text) {
  const mine = ++latest;
  if (inFlight) inFlight.abort();
  inFlight = new AbortController();
  const signal = inFlight.signal;
  results.dataset.pending = "1";
  if (text === "") {
    show(mine, text, [], "completion", []);
    return;
  }
  try {
    const params = { q: text, limit: SUGGESTIONS, videos: VIDEOS };
    if (!indexChoice.hidden) params.index = indexChoice.value;
    const answer = await ask("typeahead", params, signal);
    if (answer.corrections.length > 0) {
      show(mine, text, answer.corrections, "correction", answer.videos);
    } else {
      show(mine, text, answer.completions, "completion", answer.videos);
    }
  } catch (error) {
    if (error.name === "AbortError" || mine !== latest) return;
    show(mine, text, [], "completion", [], error.message);
  }
}

function show(seq, text, items, kind, videos, error) {
  // An answer to an older keystroke that arrived late must not replace a newer one.
  if (seq !== latest) return;
  suggestionList.replaceChildren(...items.map((item, position) => {
    const li = document.createElement("li");
    li.id = `suggestion-${position}`;
    li.setAttribute("role", "option");
    li.dataset.term = item.term;
    li.dataset.count = String(item.count);
    li.dataset.kind = kind;
    li.className = kind;
    if (kind === "correction") li.dataset.distance = String(item.distance);
    const term = document.createElement("span");
    term.className = "term";
    marked(term, item.term, item.highlight);
    const meta = document.createElement("span");
    meta.className = "meta";
    meta.textContent = kind === "correction"
      ? `${item.distance} edit${item.distance === 1 ? "" : "s"} · ${item.count.toLocaleString("en")}`
      : item.count.toLocaleString("en");
    li.append(term, meta);
    li.addEventListener("mousedown", (event) => { event.preventDefault(); pick(item.term); });
    return li;
  }));
  videoList.replaceChildren(...videos.map((video) => {
    const li = document.createElement("li");
    li.dataset.id = String(video.id);
    li.dataset.share = String(video.share);
    const name = document.createElement("span");
    name.className = "video";
    const thumbnail = video.thumbnail && webAddress(video.thumbnail);
    if (thumbnail) {
      const image = document.createElement("img");
      image.src = thumbnail;
      image.alt = "";
      image.loading = "lazy";
      image.addEventListener("error", () => image.remove());  // no broken-image icons
      name.append(image);
    }
    const label = video.title ? video.title : `video ${video.id}`;
    const link = video.url && webAddress(video.url);
    if (link) {
      const anchor = document.createElement("a");
      anchor.href = link;
      anchor.textContent = label;
      name.append(anchor);
    } else {
      name.append(label);
    }
    const bar = document.createElement("span");
    bar.className = "bar";
    const fill = document.createElement("span");
    fill.style.width = `${(video.share * 100).toFixed(1)}%`;
    bar.append(fill);
    const share = document.createElement("span");
    share.className = "meta share";
    share.textContent = percent(video.share);
    li.append(name, bar, share);
    return li;
  }));
  // Corrections say so above them, and whose videos are shown: not those of the text typed.
  const corrected = kind === "correction" && items.length > 0;
  suggestionTitle.textContent = corrected ? "Did you mean" : "Suggestions";
  videoTitle.textContent = corrected ? `Top videos for “${items[0].term}”` : "Top videos";
  highlight(-1);
  box.setAttribute("aria-expanded", items.length > 0 ? "true" : "false");
  status.className = error ? "error" : "";
  status.textContent = error ? error
    : text === "" ? ""
    : items.length === 0 && videos.length === 0 ? `Nothing found for “${text}”` : "";
  results.dataset.query = text;
  results.dataset.pending = "0";
}

// The term, with the parts the service found to match what was typed marked: sorted, disjoint
// [start, end) ranges of code points. A JavaScript string counts UTF-16 units, in which a
// character past U+FFFF (an emoji) is two, so the term is cut as an array of code points.
function marked(into, term, ranges) {
  const points = Array.from(term);
  let at = 0;
  for (const [start, end] of ranges) {
    const mark = document.createElement("mark");
    mark.textContent = points.slice(start, end).join("");
    into.append(points.slice(at, start).join(""), mark);
    at = end;
  }
  into.append(points.slice(at).join(""));
}

function percent(share) {
  return `${(share * 100).toFixed(1)} %`;
}

function highlight(position) {
  const items = suggestionList.children;
  highlighted = position;
  for (let i = 0; i < items.length; i++) {
    const on = i === position;
    items[i].classList.toggle("active", on);
    items[i].setAttribute("aria-selected", on ? "true" : "false");
  }
  if (position >= 0) box.setAttribute("aria-activedescendant", items[position].id);
  else box.removeAttribute("aria-activedescendant");
}

function pick(term) {
  box.value = term;
  search(term);
}

box.addEventListener("input", () => search(box.value));
indexChoice.addEventListener("change", () => { search(box.value); box.focus(); });
box.addEventListener("keydown", (event) => {
  const count = suggestionList.children.length;
  if (event.key === "ArrowDown" && count > 0) {
    event.preventDefault();
    highlight(Math.min(highlighted + 1, count - 1));
  } else if (event.key === "ArrowUp" && count > 0) {
    event.preventDefault();
    highlight(Math.max(highlighted - 1, -1));
  } else if (event.key === "Enter") {
    event.preventDefault();
    if (highlighted >= 0) pick(suggestionList.children[highlighted].dataset.term);
    else if (searchUrl && box.value.trim() !== "") {
      window.location.assign(searchUrl.replaceAll("{q}", encodeURIComponent(box.value)));
    }
  } else if (event.key === "Escape") {
    event.preventDefault();
    box.value = "";
    search("");
  }
});
if (box.value !== "") search(box.value);  // a box the browser refilled on going back
