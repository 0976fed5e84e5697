// Debian's headless Chromium for the benchmarks, with a profile of its own, driven by the
// browser tests' playwright-core.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {createRequire} from 'node:module';

const require = createRequire(new URL('../tests/e2e/package.json', import.meta.url));
const {chromium} = require('playwright-core');

// The browser, and how to close it: its profile goes with it.
export async function launchBenchBrowser(viewport) {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tavolin-bench-'));
  const browser = await chromium.launchPersistentContext(userDataDir, {
    executablePath: process.env.TAVOLIN_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    viewport,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
  const close = async () => {
    await browser.close();
    fs.rmSync(userDataDir, {recursive: true, force: true});
  };
  return {browser, close};
}
