"""Odoo's web client in Chromium, as the shop's staff use it: logging in, the search, a row of
a list, a form's fields and buttons, a dialog (see conftest.py for the browser)."""
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

# The first page of a new database builds the web client's asset bundles (about 10 s here).
FIRST_LOAD_SECONDS = 90
WAIT_SECONDS = 20


def wait_for(driver, selector, seconds=WAIT_SECONDS):
    """The visible elements matching ``selector`` once there is one; an error dialog shown
    meanwhile fails."""
    def found(driver):
        errors = driver.find_elements(By.CSS_SELECTOR, '.o_error_dialog, .o_dialog_error')
        assert not errors, 'the web client shows an error: %s' % errors[0].text
        return [e for e in driver.find_elements(By.CSS_SELECTOR, selector) if e.is_displayed()]
    return WebDriverWait(driver, seconds).until(found, 'nothing shows %r' % selector)


def wait_until(driver, condition, message, seconds=WAIT_SECONDS):
    return WebDriverWait(driver, seconds).until(lambda driver: condition(driver), message)


def log_in(driver, url, login, password):
    """Log in at /web/login; the web client's first screen is shown."""
    driver.delete_all_cookies()
    driver.get(url + '/web/login')
    driver.find_element(By.NAME, 'login').send_keys(login)
    driver.find_element(By.NAME, 'password').send_keys(password, Keys.ENTER)
    wait_for(driver, '.o_main_navbar', FIRST_LOAD_SECONDS)
    settled(driver, FIRST_LOAD_SECONDS)


def settled(driver, seconds=WAIT_SECONDS):
    """Wait until the web client has no request in flight and shows no loading indicator."""
    wait_until(driver, lambda d: d.execute_script(
        'return document.readyState === "complete"'
        ' && !document.querySelector(".o_loading_indicator, .o_blockUI")'
        ' && !document.body.classList.contains("o_ui_blocked")'), 'the page never settled',
        seconds)


def search(driver, text, field):
    """Search ``text`` in the field labelled ``field``, picked from the search bar's proposals
    ("Search <field> for: <text>")."""
    box = wait_for(driver, '.o_searchview_input')[0]
    box.send_keys(text)

    def proposal(driver):
        items = driver.find_elements(By.CSS_SELECTOR, '.o_searchview_autocomplete li')
        return next((item for item in items if field in item.text), None)
    wait_until(driver, proposal, 'the search bar proposes no field %r' % field).click()
    settled(driver)


def cells(driver, scope, name):
    """The texts of the column ``name`` of the list in ``scope``, row by row."""
    return driver.execute_script(
        'return Array.from(document.querySelectorAll(arguments[0] + " .o_data_row"),'
        ' (row) => (row.querySelector("td[name=\\"" + arguments[1] + "\\"]") || {}).innerText'
        '.trim())', scope, name)


def row_with(driver, scope, text):
    """The row of the list in ``scope`` that shows ``text``."""
    def found(driver):
        rows = driver.find_elements(By.CSS_SELECTOR, scope + ' .o_data_row')
        return next((row for row in rows if text in row.text), None)
    return wait_until(driver, found, 'no row of %r shows %r' % (scope, text))


def click_row(driver, scope, text, selector=None):
    """Click the row of the list in ``scope`` that shows ``text``, or the element ``selector``
    in it (found again when the list was drawn anew meanwhile)."""
    def clicked(driver):
        try:
            row = row_with(driver, scope, text)
            (row.find_element(By.CSS_SELECTOR, selector) if selector else row).click()
        except StaleElementReferenceException:
            return False
        return True
    wait_until(driver, clicked, 'the row showing %r could not be clicked' % text)
    settled(driver)


def click_button(driver, scope, text):
    """Click the button of ``scope`` labelled ``text`` (some are shown in capitals)."""
    def found(driver):
        buttons = driver.find_elements(By.CSS_SELECTOR, scope + ' button')
        return next((b for b in buttons
                     if b.is_displayed() and b.text.strip().casefold() == text.casefold()), None)
    wait_until(driver, found, 'no button %r in %r' % (text, scope)).click()
    settled(driver)


def notifications(driver):
    return [n.text for n in driver.find_elements(By.CSS_SELECTOR, '.o_notification')]


def console_errors(driver):
    return [entry['message'] for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']


def action_menu(driver):
    """The texts of the items of the action menu (the cog), opened; none when the user is
    offered no action."""
    toggles = [t for t in driver.find_elements(
        By.CSS_SELECTOR, '.o_cp_action_menus .dropdown-toggle') if t.is_displayed()]
    if not toggles:
        return []
    toggles[0].click()
    return [item.text.strip() for item in wait_for(driver, '.o_cp_action_menus .dropdown-item')]


def pick_action(driver, text):
    """Pick the item ``text`` of the action menu opened by action_menu."""
    items = wait_for(driver, '.o_cp_action_menus .dropdown-item')
    next(item for item in items if item.text.strip() == text).click()
    settled(driver)


def dialog_text(driver, containing):
    """The text of the dialog that shows ``containing``, once one does."""
    def found(driver):
        try:
            texts = [m.text for m in driver.find_elements(By.CSS_SELECTOR, '.modal .modal-body')
                     if m.is_displayed()]
        except StaleElementReferenceException:      # a dialog closing meanwhile
            return None
        return next((text for text in texts if containing in text), None)
    return wait_until(driver, found, 'no dialog shows %r' % containing)


def footer_sums(driver, scope):
    """The sums in the footer of the list in ``scope``."""
    return [cell.text.strip() for cell in driver.find_elements(
        By.CSS_SELECTOR, scope + ' tfoot td') if cell.text.strip()]


def click_tab(driver, text):
    """Open the form's notebook page ``text``."""
    tabs = wait_for(driver, '.o_notebook .nav-link')
    next(tab for tab in tabs if tab.text.strip() == text).click()
    settled(driver)


def kanban_columns(driver):
    """{column title: [card texts]} of the kanban shown, in the columns' order."""
    return dict(driver.execute_script(
        'return Array.from(document.querySelectorAll(".o_kanban_group"),'
        ' (group) => [group.querySelector(".o_column_title").innerText.trim(),'
        ' Array.from(group.querySelectorAll(".o_kanban_record"), (card) => card.innerText)])'))


def switch_view(driver, view_type):
    wait_for(driver, '.o_switch_view.o_' + view_type)[0].click()
    wait_for(driver, '.o_%s_view' % view_type)
    settled(driver)
