"""Days reconciled before "Differences open" was a state: one with a difference nobody has
explained is open, not reconciled."""


def migrate(cr, version):
    if not version:
        return
    cr.execute("""
        UPDATE kfc_reconciliation r SET state = 'open'
         WHERE r.state = 'done'
           AND EXISTS (SELECT 1 FROM kfc_reconciliation_difference d
                        WHERE d.reconciliation_id = r.id AND d.explained IS NOT TRUE)
    """)
