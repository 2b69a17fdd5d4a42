// The page's stream profile parser against the table of texts that the
// program's own parser is held to (tests/stream_profile_cases.json).
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

const { check_profile_parameters, CODEC_LABELS } = await import(
  new URL('../../html/js/profile_params.js', import.meta.url)
);
const rows = JSON.parse(readFileSync(new URL('../stream_profile_cases.json', import.meta.url)));

// The page's record under the table's field names: every key read, and the
// codec with its label only when the text named one.
function present_fields(config) {
  const { codec, has_codec, ...fields } = config;
  return has_codec ? { codec, codec_label: CODEC_LABELS[codec], ...fields } : fields;
}

// Each row: name, text, and the present fields (an object) or the refusal
// (a string, or an array of strings to join).
for (const [name, text, expected] of rows) {
  test(name, () => {
    const result = check_profile_parameters(text);
    if (typeof expected === 'object' && !Array.isArray(expected)) {
      assert.equal(result.error, null);
      assert.deepEqual(present_fields(result.config), expected);
    } else {
      assert.equal(result.error, [expected].flat().join(''));
    }
  });
}
