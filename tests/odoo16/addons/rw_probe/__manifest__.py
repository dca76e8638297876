{
    'name': 'Harness probe',
    'summary': 'Small records and routes that the Odoo test harness checks itself against',
    'version': '16.0.1.0',
    'license': 'LGPL-3',
    'depends': ['base'],
    'data': ['security/ir.model.access.csv'],
    'installable': True,
}
