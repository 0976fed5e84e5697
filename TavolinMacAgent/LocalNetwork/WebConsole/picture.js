// Pure mapping from what happens on the shown picture to the agent's commands: pointer positions
// on a letterboxed picture, and keys. No DOM, so Node tests can import it.

const clamp = (value) => Math.min(1, Math.max(0, value));

// The picture is drawn with object-fit: contain inside `box` (left, top, width, height in page
// pixels): bars fill the rest. A pointer at (x, y) maps into the drawn picture only, as 0..1 of
// its width and height, clamped so a press on a bar lands on the nearest edge. Null while the
// picture or the box has no size.
export function normalizedPoint(box, pictureWidth, pictureHeight, x, y) {
  if (!pictureWidth || !pictureHeight || !box.width || !box.height)
    return null;
  const scale = Math.min(box.width / pictureWidth, box.height / pictureHeight);
  const drawnWidth = pictureWidth * scale;
  const drawnHeight = pictureHeight * scale;
  const left = box.left + (box.width - drawnWidth) / 2;
  const top = box.top + (box.height - drawnHeight) / 2;
  return {
    normalizedX: clamp((x - left) / drawnWidth),
    normalizedY: clamp((y - top) / drawnHeight),
  };
}

const SPECIAL_KEYS = {
  Backspace: 'delete', Delete: 'forwardDelete', Enter: 'return', Escape: 'escape', Tab: 'tab',
  ArrowLeft: 'leftArrow', ArrowRight: 'rightArrow', ArrowUp: 'upArrow', ArrowDown: 'downArrow',
};
const MODIFIER_KEYS = new Set(['Shift', 'Control', 'Alt', 'Meta', 'AltGraph', 'CapsLock']);

function modifiersOf(event) {
  const modifiers = [];
  if (event.metaKey)
    modifiers.push('command');
  if (event.ctrlKey)
    modifiers.push('control');
  if (event.altKey)
    modifiers.push('option');
  if (event.shiftKey)
    modifiers.push('shift');
  return modifiers;
}

// The command for a key pressed on the page ({type, payload}), or null for keys that are only
// modifiers or still composing.
export function keyCommand(event) {
  if (event.isComposing || MODIFIER_KEYS.has(event.key))
    return null;
  const special = SPECIAL_KEYS[event.key];
  if (event.metaKey || event.ctrlKey || special) {
    return {
      type: 'keyboard_shortcut',
      payload: {key: special || event.key.toLowerCase(), modifiers: modifiersOf(event)},
    };
  }
  if ([...event.key].length === 1)
    return {type: 'keyboard_text', payload: {text: event.key}};
  return null;
}
