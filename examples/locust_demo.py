"""A Locust load test of the demo host: each user signs on once, then
inquires accounts and goes back to the menu, each step one request.

    tn3270 --demo-host 3270 &
    locust -f examples/locust_demo.py --headless -u 50 -r 50 -t 15s --host 127.0.0.1:3270 --csv demo
"""
import random

from locust import constant, task

from tn3270e.locust import Tn3270User

ACCOUNTS = {"10001": "ANNA BERGER", "10002": "CARLOS MENDES", "10003": "MEI LIN CHEN"}


class DemoClerk(Tn3270User):
    wait_time = constant(0.1)

    def setup_session(self):
        c = self.client
        with c.step("sign on"):
            c.connect()
            c.wait_field()
            c.set(0, "DEMO")
            c.set(1, "SECRET")
            c.key("enter")
            c.wait_text("MAIN MENU")

    @task
    def inquiry(self):
        c = self.client
        with c.step("open inquiry"):
            c.set(0, "1")
            c.key("enter")
            c.wait_text("ACCOUNT INQUIRY")
        account, name = random.choice(list(ACCOUNTS.items()))
        with c.step("inquire"):
            c.set(0, account)
            c.key("enter")
            c.wait_text(name)
        with c.step("back"):
            c.key("pf3")
            c.wait_text("MAIN MENU")
