// The console's mapping from the shown picture to the agent's commands, run by `node --test`.
import assert from 'node:assert/strict';
import test from 'node:test';

import {keyCommand, normalizedPoint} from '../../../TavolinMacAgent/LocalNetwork/WebConsole/picture.js';

// A 1600 x 1000 element at (100, 50): a 1280 x 800 picture fills it exactly once scaled by 1.25.
const box = {left: 100, top: 50, width: 1600, height: 1000};

test('pointer on a letterboxed picture maps into the drawn picture only', () => {
  // Wider element than picture: bars left and right. 16:10 picture in a 2000 x 1000 box is drawn
  // 1600 wide from x = 200.
  const wide = {left: 0, top: 0, width: 2000, height: 1000};
  assert.deepEqual(normalizedPoint(wide, 1280, 800, 200, 0), {normalizedX: 0, normalizedY: 0});
  assert.deepEqual(normalizedPoint(wide, 1280, 800, 1000, 500), {normalizedX: 0.5, normalizedY: 0.5});
  assert.deepEqual(normalizedPoint(wide, 1280, 800, 1800, 1000), {normalizedX: 1, normalizedY: 1});
  // Taller element: bars above and below; the box's own offset counts.
  const tall = {left: 10, top: 20, width: 640, height: 1000};
  assert.deepEqual(normalizedPoint(tall, 1280, 800, 10 + 160, 20 + 300 + 100),
                   {normalizedX: 0.25, normalizedY: 0.25});
  // A press on a bar lands on the nearest edge of the picture.
  assert.deepEqual(normalizedPoint(wide, 1280, 800, 50, -40), {normalizedX: 0, normalizedY: 0});
  assert.deepEqual(normalizedPoint(tall, 1280, 800, 900, 1010), {normalizedX: 1, normalizedY: 1});
  // An exact fit has no bars.
  assert.deepEqual(normalizedPoint(box, 1280, 800, 100 + 400, 50 + 750),
                   {normalizedX: 0.25, normalizedY: 0.75});
});

test('pointer maps to nothing while the picture or the element has no size', () => {
  assert.equal(normalizedPoint(box, 0, 800, 500, 500), null);
  assert.equal(normalizedPoint(box, 1280, 0, 500, 500), null);
  assert.equal(normalizedPoint({...box, width: 0}, 1280, 800, 500, 500), null);
});

test('keys become text, named keys or shortcuts with their modifiers', () => {
  const key = (k, held = {}) => keyCommand({key: k, ...held});
  assert.deepEqual(key('é'), {type: 'keyboard_text', payload: {text: 'é'}});
  assert.deepEqual(key('😀'), {type: 'keyboard_text', payload: {text: '😀'}});
  assert.deepEqual(key('Enter'), {type: 'keyboard_shortcut', payload: {key: 'return', modifiers: []}});
  assert.deepEqual(key('ArrowLeft', {shiftKey: true}),
                   {type: 'keyboard_shortcut', payload: {key: 'leftArrow', modifiers: ['shift']}});
  assert.deepEqual(key('A', {ctrlKey: true, shiftKey: true}),
                   {type: 'keyboard_shortcut', payload: {key: 'a', modifiers: ['control', 'shift']}});
  assert.deepEqual(key('Tab', {metaKey: true, altKey: true}),
                   {type: 'keyboard_shortcut', payload: {key: 'tab', modifiers: ['command', 'option']}});
  assert.equal(key('Shift', {shiftKey: true}), null);
  assert.equal(key('F5'), null);
  assert.equal(keyCommand({key: 'a', isComposing: true}), null);
});
