// The page: stream setup form, control requests, status polling and display.

import {
  CODEC_H264,
  CODEC_LABELS,
  check_profile_parameters,
  keyframe_advice,
  rate_control_label,
} from './profile_params.js';
import { DEFAULT_PRESET, PRESETS, fetch_camera_profiles } from './presets.js';
import {
  LIMITS,
  byte_length,
  check_destination,
  diagnostics_report,
  format_bitrate,
  format_bytes,
  format_count,
  plan_destination,
  split_destination,
  state_line,
  stream_state,
} from './format.js';
import { add_sample, create_history, draw, summary } from './chart.js';

const POLL_MS = 1000;
const STATUS_TIMEOUT_MS = 5000;
const CONTROL_TIMEOUT_MS = 30000;
const STOPPED_MESSAGE = 'Stream stopped.';
const ALREADY_RUNNING = 'Stream is already running.';
const RESUME_OFF = 'Automatic start is off: this stream will not start again by itself.';
// A page loaded from the program's own port talks to the program directly,
// not through the camera's web server: the camera's APIs are not there.
const PROGRAM_PORT = '30920';

const $ = (id) => document.getElementById(id);

const ui = {
  state: { status: null, poll_error: '', in_flight: null, touched: false, profiles_ready: false },
  profiles: [],
  history: create_history(),
  announced: null,
  // The server URL the person chose to keep whole, and the fields before
  // the last move of a key out of the server URL.
  kept_whole: null,
  before_move: null,
  // The saved choice (choice_key) last put into the form or sent from it.
  applied: null,
  // Since when (Date.now()) the page has seen the stream wait for its server.
  waiting_since: null,
  // Once a start has checked the destination, its message follows every edit.
  destination_checked: false,
};

// ---- requests ----

// One API request; resolves with the HTTP status and the JSON document.
async function call_api(path, options, timeout_ms) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeout_ms);
  try {
    const reply = await fetch(path, { ...options, cache: 'no-store', signal: abort.signal });
    const text = await reply.text();
    let doc;
    try {
      doc = JSON.parse(text);
    } catch {
      throw new Error(`unexpected reply (HTTP ${reply.status})`);
    }
    return { http: reply.status, doc };
  } catch (error) {
    if (error.name === 'AbortError') throw new Error('no answer in time');
    throw error;
  } finally {
    clearTimeout(timer);
  }
}

// The status document carries the saved choice; the error document does not.
function is_status_document(doc) {
  return doc && typeof doc === 'object' && 'savedProfileName' in doc;
}

// ---- profiles ----

function all_profiles() {
  return ui.profiles;
}

function find_profile(name, parameters) {
  return all_profiles().find((p) => p.name === name && (parameters === undefined || p.parameters === parameters));
}

function build_profile_options(camera_profiles) {
  const select = $('profile-choice');
  select.replaceChildren();
  ui.profiles = [...camera_profiles, ...PRESETS];
  const group = (label, list) => {
    if (!list.length) return;
    const element = document.createElement('optgroup');
    element.label = label;
    for (const profile of list) {
      const option = document.createElement('option');
      option.value = String(ui.profiles.indexOf(profile));
      option.textContent = profile.name;
      element.append(option);
    }
    select.append(element);
  };
  group('Camera stream profiles', camera_profiles);
  group('Presets', PRESETS);
  const custom = document.createElement('option');
  custom.value = 'custom';
  custom.textContent = 'Custom parameters';
  select.append(custom);
  // Said only when the camera has a list: the groups name the presets.
  const count = camera_profiles.length;
  $('profile-source').textContent = count
    ? `${count} stream profile${count === 1 ? '' : 's'} from the camera, then built-in presets.`
    : '';
  $('profile-source').hidden = !count;
}

function choose_profile(profile) {
  $('profile-choice').value = String(ui.profiles.indexOf(profile));
  $('profile-name').value = profile.name;
  $('profile-parameters').value = profile.parameters;
  $('profile-description').textContent = profile.description;
  check_parameters();
}

// After an edit, the list shows the profile the fields still match.
function sync_profile_choice() {
  const match = find_profile($('profile-name').value, $('profile-parameters').value);
  $('profile-choice').value = match ? String(ui.profiles.indexOf(match)) : 'custom';
  $('profile-description').textContent = match ? match.description : 'Custom: the name and parameters below are sent as they stand.';
}

function on_profile_choice() {
  const value = $('profile-choice').value;
  if (value === 'custom') {
    $('profile-description').textContent = 'Custom: the name and parameters below are sent as they stand.';
    $('profile-parameters').focus();
    return;
  }
  choose_profile(ui.profiles[Number(value)]);
}

// ---- checks ----

function check_line(kind, text) {
  const p = document.createElement('p');
  p.className = `check ${kind}`;
  p.textContent = text;
  return p;
}

function config_summary(config) {
  const parts = [config.has_codec ? CODEC_LABELS[config.codec] : 'H.264 (default)'];
  parts.push(config.width ? `${config.width}x${config.height}` : '640x360 (default)');
  if (config.fps !== undefined) parts.push(`${config.fps} fps`);
  if (config.keyframe_interval !== undefined) parts.push(`keyframe every ${config.keyframe_interval} frames`);
  if (config.rate_control !== undefined) parts.push(rate_control_label(config.rate_control));
  if (config.bitrate !== undefined) parts.push(config.bitrate ? format_bitrate(config.bitrate) : 'unlimited bitrate');
  if (config.max_bitrate !== undefined) parts.push(`max ${config.max_bitrate ? format_bitrate(config.max_bitrate) : 'unlimited'}`);
  if (config.abr_target !== undefined) parts.push(`ABR target ${config.abr_target ? format_bitrate(config.abr_target) : 'unlimited'}`);
  return `Reads as: ${parts.join(' · ')}`;
}

// Live hints for the parameter text and the codec; returns the form-level
// problem that blocks a start (the program refuses such a request), or null.
function check_parameters() {
  const name = $('profile-name').value;
  const text = $('profile-parameters').value;
  const result = check_profile_parameters(text);
  const lines = [];
  let blocking = null;
  if (name && !text) blocking = 'Selected stream profile is missing parameters.';
  else if (byte_length(name) > LIMITS.profileName) blocking = `Profile name is too long: at most ${LIMITS.profileName} bytes.`;
  else if (byte_length(text) > LIMITS.profileParameters) {
    blocking = `Profile parameters are too long: at most ${LIMITS.profileParameters} bytes.`;
  }
  if (blocking) lines.push(check_line('problem', blocking));
  for (const problem of result.problems) lines.push(check_line('problem', `The stream would end with: ${problem.message}`));
  for (const note of result.notes) lines.push(check_line('notice', note));
  if (!result.problems.length && text) lines.push(check_line('ok', config_summary(result.config)));
  const invalid = Boolean(blocking || result.problems.length);
  $('profile-parameters').setAttribute('aria-invalid', String(invalid));
  if (invalid) $('profile-edit').open = true;

  const notes = [];
  const codec = result.config.codec;
  if (codec !== CODEC_H264) {
    notes.push(
      check_line(
        'warning',
        `${CODEC_LABELS[codec]} is published over Enhanced RTMP: the destination must support Enhanced RTMP, or it will refuse or drop the stream.`,
      ),
    );
  }
  const advice = keyframe_advice(result.config);
  if (advice) {
    const seconds = advice.seconds.toFixed(advice.seconds < 10 ? 1 : 0);
    if (advice.level === 'warning') {
      notes.push(
        check_line(
          'warning',
          `Keyframes are ${seconds} s apart. Streaming services recommend 2 s and most accept at most 4 s: use a keyframe interval of ${advice.recommended} frames or less at this frame rate.`,
        ),
      );
    } else if (advice.level === 'notice') {
      notes.push(check_line('notice', `Keyframes are ${seconds} s apart; streaming services recommend 2 s.`));
    } else {
      // What is fine is said with the parameters; outside them only what is not.
      lines.push(check_line('ok', `A keyframe every ${seconds} s suits streaming services.`));
    }
  }
  $('parameters-check').replaceChildren(...lines);
  $('codec-notes').replaceChildren(...notes);
  return blocking;
}

function destination_plan() {
  const server = $('server-url').value;
  return plan_destination(server, $('stream-key').value, server.trim() === ui.kept_whole);
}

function destination_check() {
  const server = $('server-url').value;
  return check_destination(server, $('stream-key').value, server.trim() === ui.kept_whole);
}

function current_destination() {
  return destination_plan().destination;
}

function hide_key() {
  $('stream-key').type = 'password';
  $('show-key').textContent = 'Show';
  $('show-key').setAttribute('aria-pressed', 'false');
}

function show_key_note(app) {
  $('key-note-text').textContent = app ? `Stream key taken from the server URL: everything after /${app}.` : '';
  $('key-note').hidden = !app;
}

// A server URL that holds a key gives it to the key field once, when it is
// pasted or committed (and before a start), so the key field never adds a
// second, hidden key to it. The fields stay editable; "Put it back" keeps
// that URL whole, for a service whose application has two segments.
function take_key_from_url() {
  const plan = destination_plan();
  if (!plan.moved) return;
  ui.before_move = { server: $('server-url').value, key: $('stream-key').value };
  $('server-url').value = plan.server;
  $('stream-key').value = plan.key;
  hide_key();
  show_key_note(plan.server.slice(plan.server.lastIndexOf('/') + 1));
  update_destination_preview();
}

function put_key_back() {
  if (!ui.before_move) return;
  $('server-url').value = ui.before_move.server;
  $('stream-key').value = ui.before_move.key;
  ui.kept_whole = ui.before_move.server.trim();
  ui.before_move = null;
  show_key_note(null);
  update_destination_preview();
  $('server-url').focus();
}

const FIELDS = { server: 'server-url', key: 'stream-key' };

// The check's message beside its field, and nothing beside the other.
function show_destination_check(check) {
  for (const [field, id] of Object.entries(FIELDS)) {
    const message = check?.field === field ? check.message : '';
    $(`${id}-error`).textContent = message;
    $(`${id}-error`).hidden = !message;
    $(id).setAttribute('aria-invalid', String(Boolean(message)));
  }
}

// Nothing here runs when a field loses the focus: whatever appeared then
// would move Start from under a pointer already pressing it.
function update_destination_preview() {
  // Only a server URL that could work is shown as where the stream goes.
  const check = destination_check();
  const preview = check?.field === 'server' ? '' : destination_plan().preview;
  $('destination-preview').textContent = preview || '—';
  if (ui.destination_checked) show_destination_check(check);
}

function form_values() {
  return {
    destination: current_destination(),
    profileName: $('profile-name').value,
    profileParameters: $('profile-parameters').value,
    silentAudio: $('silent-audio').checked,
  };
}

// ---- control ----

// Beside Start: a refusal of the program (kind "problem"), or what a
// request did when nothing else shows it (kind "info").
function show_request_message(text, kind = 'problem') {
  const element = $('request-message');
  element.textContent = text ?? '';
  element.hidden = !text;
  element.classList.toggle('info', kind === 'info');
  if (text) element.scrollIntoView({ block: 'nearest' });
}

function update_buttons() {
  const busy = Boolean(ui.state.in_flight);
  const running = Boolean(ui.state.status?.running);
  // A stream that ended with an error would start again with the program:
  // Stop turns that off.
  const failed = stream_state(ui.state.status).key === 'failed';
  $('start').disabled = busy || running;
  $('restart').disabled = busy || !running;
  $('stop').disabled = busy || !(running || failed);
  for (const action of ['start', 'restart', 'stop']) {
    $(action).setAttribute('aria-busy', String(ui.state.in_flight === action));
  }
}

// A button disabled while its request ran has dropped the focus to the
// page: it goes on to the button that comes next, for keyboard users.
function restore_focus(action, had_focus) {
  if (had_focus !== $(action)) return;
  if (document.activeElement === had_focus && !had_focus.disabled) return;
  const next = { start: ['stop', 'start'], restart: ['restart', 'stop'], stop: ['start', 'stop'] };
  next[action].map($).find((button) => !button.disabled)?.focus();
}

// Checks the form before a start; false, with the message beside the field
// and the focus in it, when something there would not work.
function form_ready() {
  take_key_from_url();
  const check = destination_check();
  ui.destination_checked = true;
  show_destination_check(check);
  const profile_error = check_parameters();
  if (check) {
    $(FIELDS[check.field]).focus();
  } else if (profile_error) {
    $('profile-edit').open = true;
    $('profile-parameters').focus();
  }
  return !check && !profile_error;
}

async function control(action) {
  if (ui.state.in_flight) return;
  let body;
  if (action !== 'stop') {
    if (!form_ready()) return;
    const form = form_values();
    body = new URLSearchParams({
      destination: form.destination,
      profileName: form.profileName,
      profileParameters: form.profileParameters,
      silentAudio: form.silentAudio ? 'yes' : 'no',
    });
    if (byte_length(body.toString()) > LIMITS.body) {
      show_request_message('Request body is empty or too large.');
      return;
    }
  }
  const had_focus = document.activeElement;
  const was_running = Boolean(ui.state.status?.running);
  ui.state.in_flight = action;
  update_buttons();
  show_request_message('');
  try {
    const { http, doc } = await call_api(`api/${action}`, { method: 'POST', body }, CONTROL_TIMEOUT_MS);
    if (http === 200 && is_status_document(doc)) {
      if (action !== 'stop') {
        // The form is what was saved now: it follows later changes again.
        ui.applied = choice_key(doc);
        ui.state.touched = false;
      } else if (!was_running) {
        show_request_message(RESUME_OFF, 'info');
      }
      apply_status(doc);
      // What became of the press is seen where it was made.
      if (action !== 'stop') $('state-line').scrollIntoView({ block: 'nearest' });
    } else if (is_status_document(doc)) {
      // A start while a stream runs answers with the status document.
      show_request_message(ALREADY_RUNNING);
      apply_status(doc);
    } else {
      show_request_message(doc?.lastError || `The request was refused (HTTP ${http}).`);
    }
  } catch (error) {
    show_request_message(`Corvane did not answer: ${error.message}.`);
  } finally {
    ui.state.in_flight = null;
    update_buttons();
    restore_focus(action, had_focus);
  }
}

// ---- status ----

function text_or_dash(value) {
  return value ? String(value) : '—';
}

function announce(text) {
  $('announce').textContent = text;
}

// How long the stream has waited for its server, as this page has seen it.
function waiting_seconds(status) {
  const waiting = stream_state(status).key === 'starting' && Boolean(status.streamDetails);
  if (!waiting) ui.waiting_since = null;
  else if (ui.waiting_since === null) ui.waiting_since = Date.now();
  return waiting ? Math.floor((Date.now() - ui.waiting_since) / 1000) : 0;
}

// Text that is read out when it changes is only set when it does.
function set_text(id, text) {
  if ($(id).textContent !== text) $(id).textContent = text;
}

function render_status(status) {
  const state = stream_state(status);
  const badge = $('state-badge');
  badge.dataset.state = state.key;
  $('state-label').textContent = state.label;
  $('state-line').textContent = state_line(status, waiting_seconds(status));
  $('state-line').dataset.state = state.key;
  $('running').textContent = state.label;
  $('frames-sent').textContent = format_count(status.framesSent);
  $('bytes-sent').textContent = format_bytes(status.bytesSent);
  // The first figure comes 5 s into the stream.
  const rate = status.currentBitrate;
  let bitrate = '—';
  if (state.key === 'live') bitrate = rate ? format_bitrate(rate) : 'Measuring…';
  $('current-bitrate').textContent = bitrate;
  $('last-packet').textContent = format_bytes(status.lastPacketBytes);
  $('profile-live').textContent = text_or_dash(status.profileName || (status.running ? '' : status.savedProfileName));
  $('stream-details').textContent = text_or_dash(status.streamDetails);
  $('profile-details').textContent = text_or_dash(status.profileDetails);

  // Beside Start until the next start; the alert role reads it out, and a
  // failure while the page is open is brought into view.
  const failed = state.key === 'failed';
  const appears = failed && $('last-error').hidden && ui.announced !== null;
  set_text('last-error-text', failed ? status.lastError : '');
  $('last-error').hidden = !failed;
  if (appears) $('last-error').scrollIntoView({ block: 'nearest' });

  $('device-model').textContent = text_or_dash(status.deviceModel);
  $('serial-number').textContent = text_or_dash(status.serialNumber);
  $('mac-address').textContent = text_or_dash(status.macAddress);
  $('os-version').textContent = text_or_dash(status.axisOsVersion);
  $('chip').textContent = text_or_dash(status.chip);
  $('architecture').textContent = text_or_dash(status.architecture);

  if (ui.announced !== null && ui.announced !== state.key) {
    const messages = {
      live: 'Stream is live.',
      starting: 'Stream is starting.',
      stopped: STOPPED_MESSAGE,
      idle: 'Stream is not running.',
    };
    announce(messages[state.key] ?? '');
  }
  ui.announced = state.key;
}

function render_chart() {
  const canvas = $('bitrate-chart');
  draw(canvas, ui.history, Date.now());
  canvas.dataset.samples = String(ui.history.samples.length);
  canvas.setAttribute('aria-label', summary(ui.history));
}

function apply_status(status) {
  ui.state.status = status;
  render_status(status);
  sync_form(status);
  update_buttons();
  if ($('diagnostics-details').open) $('diagnostics-text').value = report();
}

// The saved choice as the status document reports it.
function choice_key(status) {
  const name = (status.running && status.profileName) || status.savedProfileName;
  return JSON.stringify([status.destination, name, Boolean(status.silentAudio)]);
}

// The saved choice fills the form when the page opens and again whenever
// another page or a script changes it, unless the person has edited the
// form since it was last filled or sent.
function sync_form(status) {
  if (!ui.state.profiles_ready) return;
  const key = choice_key(status);
  if (key === ui.applied) return;
  ui.applied = key;
  if (!ui.state.touched) fill_form(status);
}

function fill_form(status) {
  if (status.destination) {
    const { server, key } = split_destination(status.destination);
    $('server-url').value = server;
    $('stream-key').value = key;
    ui.kept_whole = null;
    ui.before_move = null;
    show_key_note(null);
    $('silent-audio').checked = Boolean(status.silentAudio);
    update_destination_preview();
  }
  const name = (status.running && status.profileName) || status.savedProfileName;
  if (!name) return;
  const profile = find_profile(name);
  if (profile) {
    choose_profile(profile);
  } else {
    $('profile-choice').value = 'custom';
    $('profile-name').value = name;
    $('profile-parameters').value = '';
    $('profile-description').textContent = `The profile "${name}" is not in the list: enter its parameters or choose another profile.`;
    check_parameters();
  }
}

async function poll() {
  try {
    const { doc } = await call_api('api/status', { method: 'GET' }, STATUS_TIMEOUT_MS);
    if (!is_status_document(doc)) throw new Error('unexpected reply');
    ui.state.poll_error = '';
    $('connection').hidden = true;
    add_sample(ui.history, Date.now(), doc.running ? doc.currentBitrate : 0);
    apply_status(doc);
    render_chart();
  } catch (error) {
    ui.state.poll_error = error.message;
    $('connection').textContent = `No status from Corvane (${error.message}); retrying.`;
    $('connection').hidden = false;
  } finally {
    setTimeout(poll, POLL_MS);
  }
}

// ---- diagnostics ----

function report() {
  return diagnostics_report({
    status: ui.state.status,
    form: form_values(),
    now: new Date(),
    page: location.href.split('#')[0],
    agent: navigator.userAgent,
    poll_error: ui.state.poll_error,
  });
}

async function copy_diagnostics() {
  const text = report();
  const area = $('diagnostics-text');
  area.value = text;
  let copied = false;
  if (navigator.clipboard && window.isSecureContext) {
    try {
      await navigator.clipboard.writeText(text);
      copied = true;
    } catch {
      copied = false;
    }
  }
  if (!copied) {
    // Pages served over plain HTTP have no clipboard API: select and copy.
    $('diagnostics-details').open = true;
    area.focus();
    area.select();
    try {
      copied = document.execCommand('copy');
    } catch {
      copied = false;
    }
  }
  $('copy-result').textContent = copied
    ? 'Report copied to the clipboard.'
    : 'Copying is not allowed here: the report is selected below, copy it with Ctrl+C.';
}

// ---- wiring ----

function wire() {
  const form = $('stream-form');
  form.addEventListener('input', () => {
    ui.state.touched = true;
  });
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    control('start');
  });
  $('restart').addEventListener('click', () => control('restart'));
  $('stop').addEventListener('click', () => control('stop'));
  $('profile-choice').addEventListener('change', on_profile_choice);
  for (const id of ['profile-name', 'profile-parameters']) {
    $(id).addEventListener('input', () => {
      sync_profile_choice();
      check_parameters();
    });
  }
  $('server-url').addEventListener('input', (event) => {
    // A paste is a new URL: the split applies again even to a URL kept whole.
    if (event.inputType === 'insertFromPaste' || event.inputType === 'insertFromDrop') {
      ui.kept_whole = null;
      take_key_from_url();
    }
    update_destination_preview();
  });
  $('stream-key').addEventListener('input', () => {
    show_key_note(null);
    update_destination_preview();
  });
  $('key-undo').addEventListener('click', put_key_back);
  $('show-key').addEventListener('click', () => {
    if ($('stream-key').type === 'text') {
      hide_key();
    } else {
      $('stream-key').type = 'text';
      $('show-key').textContent = 'Hide';
      $('show-key').setAttribute('aria-pressed', 'true');
    }
  });
  $('copy-diagnostics').addEventListener('click', copy_diagnostics);
  $('diagnostics-details').addEventListener('toggle', () => {
    if ($('diagnostics-details').open) $('diagnostics-text').value = report();
  });
  new ResizeObserver(render_chart).observe($('bitrate-chart'));
}

async function main() {
  wire();
  build_profile_options([]);
  choose_profile(find_profile(DEFAULT_PRESET));
  update_buttons();
  poll();
  const camera_profiles = location.port === PROGRAM_PORT ? [] : await fetch_camera_profiles();
  if (camera_profiles.length) {
    const keep = ui.state.touched ? form_values() : null;
    build_profile_options(camera_profiles);
    if (keep) {
      sync_profile_choice();
    } else {
      choose_profile(camera_profiles[0]);
    }
  }
  ui.state.profiles_ready = true;
  document.body.dataset.profiles = camera_profiles.length ? 'camera' : 'presets';
  if (ui.state.status) sync_form(ui.state.status);
}

main();
