"use strict";
// The search box: on every keystroke, one request to /api/typeahead of the same service, which
// answers with the completions to offer (typo-tolerant, likeliest first) and the best videos.

const SUGGESTIONS = 8;  // list lengths the page asks for; the browser test asks the same
const VIDEOS = 10;

const box = document.getElementById("q");
const results = document.getElementById("results");
const suggestionList = document.getElementById("suggestions");
const videoList = document.getElementById("videos");
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
    show(mine, text, answer.completions, "completion", answer.videos);
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
    if (kind === "correction") li.dataset.distance = String(item.distance);
    const term = document.createElement("span");
    marked(term, item.term, text);
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
  highlight(-1);
  box.setAttribute("aria-expanded", items.length > 0 ? "true" : "false");
  status.className = error ? "error" : "";
  status.textContent = error ? error
    : text === "" ? ""
    : items.length === 0 && videos.length === 0 ? `Nothing found for “${text}”` : "";
  results.dataset.query = text;
  results.dataset.pending = "0";
}

// The term, its start marked where it is what was typed (letter case aside).
function marked(into, term, typed) {
  const typedPart = term.slice(0, typed.length);
  if (typed !== "" && typedPart.toLowerCase() === typed.toLowerCase()) {
    const mark = document.createElement("mark");
    mark.textContent = typedPart;
    into.append(mark, term.slice(typed.length));
  } else {
    into.textContent = term;
  }
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
