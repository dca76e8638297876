// A step run again and again, a growing pause apart, until it says the matter is settled. It
// waits while the page is hidden (a phone's screen off, another app in front) and steps at
// once when the page is shown again.
export function repeat(step, {pause = 2000, longest = 15000, growth = 1.5} = {}) {
    let wait = pause;
    let timer = null;
    let running = false;
    let stopped = false;

    const schedule = () => {
        if (!stopped && !running && timer === null && !document.hidden) {
            timer = setTimeout(run, wait);
        }
    };
    const run = async () => {
        timer = null;
        running = true;
        let settled = false;
        try {
            settled = await step();
        } finally {
            running = false;
        }
        if (settled) {
            stop();
            return;
        }
        wait = Math.min(wait * growth, longest);
        schedule();
    };
    const onVisibility = () => {
        if (document.hidden) {
            clearTimeout(timer);
            timer = null;
        } else if (!stopped && !running && timer === null) {
            wait = pause;
            run();
        }
    };
    function stop() {
        stopped = true;
        clearTimeout(timer);
        timer = null;
        document.removeEventListener('visibilitychange', onVisibility);
    }
    document.addEventListener('visibilitychange', onVisibility);
    schedule();
    return stop;
}
