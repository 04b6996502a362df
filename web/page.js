'use strict';
// The page shows what the switch's core last read back, pushed over a
// WebSocket whenever anything changes; it switches only by POST. Where the
// switch serves several boards, each has its own view, copied from the first.

const $ = (id) => document.getElementById(id);
const kTwipsPerPixel = 15;
const kCutOff = 'Not connected to the switch: the buttons work again once the connection is back.';

// The state last received, and whether the page follows the switch now:
// cut off, it shows that state greyed as the last known and cannot switch.
let last = null;
let live = false;

// Board N's view: the first, or a copy of it made when the switch first lists board N.
function view(board) {
  const views = $('boards').children;
  while (views.length < board) {
    const copy = views[0].cloneNode(true);
    copy.dataset.board = views.length + 1;
    copy.querySelector('.answer').textContent = '';
    wire(copy);
    $('boards').append(copy);
  }
  return views[board - 1];
}

function wire(section) {
  for (const button of section.querySelectorAll('.buttons button'))
    button.addEventListener('click', () => select(button.dataset.path, +section.dataset.board));
}

function allow(refused, within = document) {
  for (const button of within.querySelectorAll('.buttons button')) {
    button.disabled = refused !== null;
    button.title = refused || '';
  }
}

// One board's state in its view; `several` names the board above it.
function showBoard(section, state, several) {
  const part = (name) => section.querySelector(`.${name}`);
  const heading = part('name');
  heading.hidden = !several;
  heading.textContent = several ? `Board ${state.board}${state.name ? ` · ${state.name}` : ''}: ${state.model}` : '';
  const path = part('path');
  path.textContent = live ? state.words : `Last known: ${state.words}`;
  path.dataset.path = state.path || 'unknown';
  part('schematic').setAttribute('aria-label', state.words);
  part('bits').textContent = state.bits ? `C1=${+state.bits.c1}  C2=${+state.bits.c2}` : 'C1=?  C2=?';
  // An unknown state draws no contact, as in the panel; where the panel
  // leaves the contacts as they were, so does the page.
  const contacts = part('contacts');
  contacts.style.visibility = state.path ? 'visible' : 'hidden';
  if (state.contacts) {
    state.contacts.forEach((twips, i) => {
      ['x1', 'y1', 'x2', 'y2'].forEach((name, j) => contacts.children[i].setAttribute(name, twips[j] / kTwipsPerPixel));
    });
  }
  part('warning').hidden = state.path !== 'forbidden';
  part('mark').classList.toggle('shown', state.simulated);
  const status = part('status');
  status.textContent = state.status;
  status.style.color = state.colour;
  status.style.borderColor = state.colour;
  status.className = `status ${state.reach}`;
  // Buttons that cannot switch look it, and say why.
  allow(live ? state.refused : kCutOff, section);
  // The lock, or the line on the connection, says so already.
  part('refusal').textContent = state.lock || !live ? '' : state.refused || '';
  // A channel's label beside its name, as scripts use it.
  for (const button of section.querySelectorAll('.buttons button[data-path^="rf"]')) {
    const label = state.labels && state.labels[button.dataset.path];
    button.textContent = button.dataset.path.toUpperCase() + (label ? ` · ${label}` : '');
  }
  // The board's closures, and the warning once a path has reached the limit set for the switch's life.
  const cycles = state.cycles;
  part('cycles').textContent = cycles.warning
    || `Relay cycles: RF1 ${cycles.rf1}, RF2 ${cycles.rf2}${cycles.limit ? `, limit ${cycles.limit}` : ', no limit set'}.`;
  part('cycles').className = cycles.warning ? 'cycles due' : 'cycles';
}

function show(state) {
  last = state;
  document.body.classList.toggle('cut', !live);
  const boards = state.boards || [state];
  document.body.classList.toggle('several', boards.length > 1);
  boards.forEach((board, i) => showBoard(view(i + 1), board, boards.length > 1));
  // A server started again with fewer boards.
  while ($('boards').children.length > boards.length)
    $('boards').lastElementChild.remove();
  $('lock').textContent = state.lock
    ? `Locked by ${state.lock}: switching from here is refused until it lets go.`
    : 'Not locked: any client may switch.';
  $('lock').className = state.lock ? 'locked' : '';
  // Compared with what the browser shows for the connection, it tells the
  // right switch; where it must wrap, it wraps between two bytes.
  $('certificate').hidden = !state.certificate;
  $('certificate').replaceChildren(...(state.certificate ? ['Certificate SHA-256 fingerprint: ',
    ...state.certificate.split(/(?<=:)/).flatMap((part) => [part, document.createElement('wbr')])] : []));
  $('plain').hidden = !state.plain;
  $('plain').textContent = state.plain ? `Not encrypted: ${state.plain}` : '';
  const operations = $('operations');
  operations.replaceChildren(...state.operations.slice().reverse().map((line) => {
    const item = document.createElement('li');
    item.textContent = line;
    return item;
  }));
}

async function select(path, board = 1) {
  const answer = view(board).querySelector('.answer');
  answer.className = 'answer';
  answer.textContent = 'Switching…';
  let reply, body;
  try {
    reply = await fetch(`/api/${board > 1 ? `boards/${board}/` : ''}select`,
      { method: 'POST', body: path, headers: { 'Content-Type': 'text/plain' } });
    body = await reply.json();
  } catch {
    // The browser's words ("Failed to fetch") say nothing of the switch.
    answer.className = 'answer refused';
    answer.textContent = reply ? `Not known whether it switched: its answer (HTTP ${reply.status}) could not be read`
      : 'Not switched: the switch cannot be reached (the connection to it is lost)';
    return;
  }
  if (body.path !== undefined)
    show(body);
  answer.className = body.error ? 'answer refused' : 'answer done';
  answer.textContent = body.error ? `Not switched: ${body.error.detail || body.error.message}` : 'Switched and read back.';
}

// Follows the switch; a lost connection is tried again, less often each time.
function follow(delay) {
  const socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/api/events`);
  socket.onopen = () => {
    delay = 1000;
    $('link').textContent = 'Live: the page follows every change.';
    $('link').className = '';
  };
  // The server sends the state as soon as the page follows it.
  socket.onmessage = (event) => {
    live = true;
    show(JSON.parse(event.data));
  };
  socket.onclose = () => {
    $('link').textContent = `Not connected to the switch: trying again in ${delay / 1000} s. Greyed below: the last known state.`;
    $('link').className = 'lost';
    live = false;
    if (last)
      show(last);
    else
      allow(kCutOff);
    setTimeout(() => follow(Math.min(delay * 2, 30000)), delay);
  };
}

$('where').textContent = `on ${location.host}`;
wire(view(1));
follow(1000);
